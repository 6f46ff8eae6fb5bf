#include "errors.h"

#include "internal/text.h"

namespace keldran::echo {

namespace {

std::string polynomial_error(const echo_error& e)
{
    switch (e.code) {
    case echo_errc::unreadable_polynomial:
        return "cannot read " + quoted(e.text) + " as a polynomial such as \"x^7 + x^3 + 1\""
               + (e.count > 0
                      ? " (the term of degree " + std::to_string(e.value) + " appears twice)"
                      : std::string());
    case echo_errc::order_out_of_range:
        return quoted(e.text) + " is of order " + std::to_string(e.value)
               + "; the order must be 3 to 12";
    default:
        return e.text + " is not a maximal-length polynomial (keldran lists those of order "
               + std::to_string(e.value) + ")";
    }
}

std::string decoding_error(const echo_error& e)
{
    switch (e.code) {
    case echo_errc::sample_not_finite:
        return "sample " + std::to_string(e.index) + " is not a finite number";
    case echo_errc::ends_inside_sample:
        return "the capture ends inside a sample (" + std::to_string(e.count)
               + (e.count == 1 ? " byte" : " bytes") + " left over)";
    case echo_errc::line_not_a_number:
        return "line " + std::to_string(e.index) + " is not a number: " + quoted(e.text);
    case echo_errc::line_not_finite:
        return "line " + std::to_string(e.index) + " is not a finite number: " + quoted(e.text);
    case echo_errc::no_samples:
        return "the capture holds no samples";
    default:
        return "the capture could not be read: " + e.text;
    }
}

std::string averaging_error(const echo_error& e)
{
    const std::string held = "the capture holds " + std::to_string(e.count) + " samples";
    switch (e.code) {
    case echo_errc::fewer_than_two_periods:
        return held + ", fewer than two whole periods of the pattern (" + std::to_string(e.needed)
               + " samples at " + short_number(e.rate) + " samples per bit)";
    case echo_errc::short_for_conversion:
        return held + "; measuring it at " + short_number(e.rate) + " samples per bit takes "
               + std::to_string(e.needed) + ": two whole periods of the pattern ("
               + std::to_string(e.periods) + ") and " + std::to_string(e.needed - e.periods)
               + " more while the conversion to whole samples per bit starts";
    case echo_errc::rate_beyond_search:
        return "the capture repeats at a rate more than " + percent_text(e.share) + " from "
               + short_number(e.rate) + " samples per bit (its best match lies at the edge "
               + "searched, " + short_number(e.best_rate) + " samples per bit)";
    case echo_errc::does_not_repeat:
        return "the capture does not repeat every " + std::to_string(e.count) + " bits at about "
               + short_number(e.rate)
               + " samples per bit, so it does not hold this pattern at this rate (its best "
                 "match, at "
               + short_number(e.best_rate) + " samples per bit, agrees " + percent_text(e.share)
               + ")";
    default:
        return e.text.empty() ? std::string("the resampler could not be set up")
                              : "the resampler failed: " + e.text;
    }
}

}  // namespace

std::string error_text(const echo_error& error)
{
    switch (error.code) {
    case echo_errc::none:
        return {};
    case echo_errc::unreadable_polynomial:
    case echo_errc::order_out_of_range:
    case echo_errc::not_maximal:
        return polynomial_error(error);
    case echo_errc::sample_not_finite:
    case echo_errc::ends_inside_sample:
    case echo_errc::line_not_a_number:
    case echo_errc::line_not_finite:
    case echo_errc::no_samples:
    case echo_errc::read_failed:
        return decoding_error(error);
    case echo_errc::pattern_not_found:
        return "the capture does not hold the pattern of " + error.text
               + ": its correlation with the pattern has no main response (the strongest peak "
                 "holds "
               + percent_text(error.share) + " of the energy)";
    case echo_errc::write_failed:
        return "the capture could not be written";
    default:
        return averaging_error(error);
    }
}

}  // namespace keldran::echo
