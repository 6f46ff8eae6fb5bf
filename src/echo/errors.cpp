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

std::string file_error(const echo_error& e)
{
    const auto plural = [](std::int64_t n, const std::string& one) {
        return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
    };
    switch (e.code) {
    case echo_errc::unknown_format:
        return "the capture's first bytes are of no format read here, and its name implies none";
    case echo_errc::not_this_format:
        return "the capture is not a " + e.text + " (its first bytes do not read as one)";
    case echo_errc::damaged_header:
        return "the " + e.text + "'s header is damaged: " + e.detail;
    case echo_errc::no_such_channel:
        return "there is no channel " + std::to_string(e.value) + ": the capture holds "
               + plural(e.count, "channel");
    case echo_errc::no_such_segment:
        return "there is no segment " + std::to_string(e.value) + ": the trace holds "
               + plural(e.count, "segment");
    case echo_errc::segment_needed:
        return "the trace is a sequence of " + plural(e.count, "segment")
               + "; say which one to measure";
    case echo_errc::unsupported_samples:
        return "the " + e.text + " stores its samples in a way not read here"
               + (e.detail.empty() ? std::string() : " (" + e.detail + ")");
    default:
        return "the " + e.text + " ends after " + plural(e.count, "sample") + " of the "
               + std::to_string(e.needed) + " its header declares";
    }
}

std::string rate_error(const echo_error& e)
{
    switch (e.code) {
    case echo_errc::rate_not_given:
        return "nothing fixes the rate: give samples per bit, or a bit rate";
    case echo_errc::rate_given_twice:
        return "samples per bit and a bit rate both fix the rate; give one of them";
    case echo_errc::sample_rate_alone:
        return "a sample rate fixes the rate only with a bit rate";
    case echo_errc::sample_rate_unknown:
        return "the capture does not state its sample rate, and none was given";
    case echo_errc::sample_rate_disagrees:
        return "the sample rate given, " + short_number(e.rate)
               + " samples per second, disagrees with the capture's own, "
               + short_number(e.best_rate);
    default:
        return "the rates make " + short_number(e.rate)
               + " samples per bit; it must be greater than 0 and at most 10000";
    }
}

std::string averaging_error(const echo_error& e)
{
    const std::string held = "the capture holds " + std::to_string(e.count) + " samples";
    switch (e.code) {
    case echo_errc::fewer_than_two_periods:
        return held + ", fewer than two whole periods of the pattern (" + std::to_string(e.needed)
               + " samples at " + short_number(e.rate) + " samples per bit)";
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
    case echo_errc::unknown_format:
    case echo_errc::not_this_format:
    case echo_errc::damaged_header:
    case echo_errc::no_such_channel:
    case echo_errc::no_such_segment:
    case echo_errc::segment_needed:
    case echo_errc::unsupported_samples:
    case echo_errc::ends_early:
        return file_error(error);
    case echo_errc::rate_not_given:
    case echo_errc::rate_given_twice:
    case echo_errc::sample_rate_alone:
    case echo_errc::sample_rate_unknown:
    case echo_errc::sample_rate_disagrees:
    case echo_errc::rate_out_of_range:
        return rate_error(error);
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
