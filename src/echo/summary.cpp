#include "summary.h"

#include "internal/text.h"

#include <nlohmann/json.hpp>

#include <array>
#include <optional>

#include <cmath>
#include <cstdio>

namespace keldran::echo {

namespace {

// A value rounded to `places` decimals, so that JSON shows no noise digits.
double rounded(double value, int places)
{
    constexpr double ten = 10.0;
    const double scale = std::pow(ten, places);
    // Adding zero turns a negative zero, which JSON would show as -0.0, into zero.
    return std::round(value * scale) / scale + 0.0;
}

constexpr int size_places = 4;
constexpr int shift_places = 4;
constexpr int rate_places = 6;
constexpr int snr_places = 1;
constexpr int pw50_places = 3;

constexpr std::string_view asymmetry_reason =
    "too little of its echo lies clear of the others, so an asymmetric head would move the "
    "shifts";
constexpr std::string_view perpendicular_asymmetry_reason =
    "on a perpendicular medium its echo takes the HTS echo's shape, so an asymmetric head "
    "moves the HTS shift";

constexpr std::string_view erasure_reason =
    "below order 9 it cannot be told from the shifts, so partial erasure would move the NLTS "
    "shift";

constexpr std::string_view uncertain_asymmetry_reason =
    "the capture leaves it uncertain by more than 0.02, so an asymmetric head may move the shifts";

std::string_view why_no_asymmetry(const measurement& m)
{
    if (m.asymmetry_uncertain) {
        return uncertain_asymmetry_reason;
    }
    return m.medium == recording_medium::perpendicular ? perpendicular_asymmetry_reason
                                                       : asymmetry_reason;
}

// A figure with its uncertainty, as the table shows it.
std::string with_uncertainty(double value, std::optional<double> uncertainty)
{
    return uncertainty ? format("%+.4f +/- %.4f", value, *uncertainty) : format("%+.4f", value);
}

// The lines for partial erasure and the head's asymmetry, where they were fitted.
std::string fitted_lines(const measurement& m)
{
    std::string text;
    const auto line = [&](const char* title, const std::optional<fitted_value>& figure,
                          effect from) {
        if (figure) {
            text += format("%-16s %s (from the %s echo)\n", title,
                           with_uncertainty(figure->value, figure->uncertainty).c_str(),
                           std::string(effect_title(from)).c_str());
        }
    };
    line("Partial erasure", echo_of(m, effect::nlts).partial_erasure, effect::nlts);
    line("Read asymmetry", echo_of(m, effect::hts).read_asymmetry, effect::hts);
    if (m.erasure_unmeasured) {
        text += "Partial erasure is not given: " + std::string(erasure_reason) + ".\n";
    }
    if (m.asymmetry_unmeasured) {
        text += "The head's asymmetry is not given: " + std::string(why_no_asymmetry(m)) + ".\n";
    }
    return text;
}

nlohmann::ordered_json optional_json(const std::optional<double>& value, int places)
{
    return value ? nlohmann::ordered_json(rounded(*value, places))
                 : nlohmann::ordered_json(nullptr);
}

constexpr std::array<std::string_view, effect_count> effect_titles{"HTS", "NLTS", "2nd adjacent",
                                                                   "Interaction"};
constexpr std::array<std::string_view, effect_count> effect_keys{"hts", "nlts", "second_adjacent",
                                                                 "interaction"};

// What an echo that is not separable lies within the reach of.
std::string reached_by(const echo_result& echo)
{
    switch (echo.verdict) {
    case separation::short_period:
        return "the main response in a period this short (order 7 and up leave room)";
    case separation::near_echo:
        return "the " + std::string(effect_title(echo.near)) + " echo";
    default:
        return "the main response";
    }
}

constexpr double picoseconds = 1e12;
constexpr int picosecond_places = 1;

// A shift in bit cells as picoseconds at `bit_rate`.
double in_picoseconds(double shift, double bit_rate)
{
    return shift * picoseconds / bit_rate;
}

std::string shift_in_picoseconds(const echo_result& echo, double bit_rate)
{
    if (!echo.shift) {
        return "-";
    }
    std::string text = format("%+.1f", in_picoseconds(*echo.shift, bit_rate));
    if (echo.shift_uncertainty) {
        text += format(" +/- %.1f", in_picoseconds(*echo.shift_uncertainty, bit_rate));
    }
    return text;
}

// The line that gives the rates, when a bit rate fixed them.
std::string rates_line(const capture_rates& rates)
{
    if (!rates.bit_rate) {
        return {};
    }
    return "Bit rate " + short_number(*rates.bit_rate) + " bits/s, sample rate "
           + short_number(rates.sample_rate.value_or(0)) + " samples/s\n";
}

}  // namespace

std::string why_not_separable(const echo_result& echo)
{
    if (echo.verdict == separation::misfit) {
        return "does not follow the channel model: the fit leaves " + percent_text(echo.misfit)
               + " of it unexplained";
    }
    return "lies within the reach of " + reached_by(echo) + ": it cannot be told apart";
}

std::string_view medium_name(recording_medium medium)
{
    return medium == recording_medium::perpendicular ? "perpendicular" : "longitudinal";
}

std::string_view effect_title(effect which)
{
    return effect_titles.at(static_cast<std::size_t>(which));
}

std::string_view effect_key(effect which)
{
    return effect_keys.at(static_cast<std::size_t>(which));
}

std::string summary_table(const polynomial& poly, const fold_result& fold, const measurement& m,
                          const capture_rates& rates)
{
    std::string text = "Polynomial " + polynomial_text(poly) + ", "
                       + std::to_string(sequence_length(poly.order)) + " bits per period\n";
    text += format("Samples per bit found %.6f, whole periods used %lld, correlation SNR %.1f dB\n",
                   fold.samples_per_bit, static_cast<long long>(fold.periods), m.snr_db);
    text +=
        format("Medium %s (%s), PW50 %.3f bit cells\n", std::string(medium_name(m.medium)).c_str(),
               m.medium_found ? "found in the capture" : "as given", m.pw50);
    text += rates_line(rates);
    text +=
        format("Samples set aside as glitches %lld\n\n", static_cast<long long>(fold.set_aside));
    text += "Echo           Location    Size     Separable   Shift (bit cells)";
    text += rates.bit_rate ? "   Shift (ps)\n" : "\n";
    std::string notes;
    for (const echo_result& echo : m.echoes) {
        const std::string title(effect_title(echo.which));
        const std::string shift =
            echo.shift ? with_uncertainty(*echo.shift, echo.shift_uncertainty) : "-";
        text += format("%-14s %+8.1f   %7.4f   %-9s   ", title.c_str(), echo.location, echo.size,
                       is_separable(echo) ? "yes" : "no");
        text += rates.bit_rate ? format("%-19s %s\n", shift.c_str(),
                                        shift_in_picoseconds(echo, *rates.bit_rate).c_str())
                               : shift + "\n";
        if (!is_separable(echo)) {
            notes += "The " + title + " echo " + why_not_separable(echo)
                     + ", so its size is unreliable and no shift is given.\n";
        }
    }
    const std::string fitted = fitted_lines(m);
    if (!fitted.empty()) {
        text += "\n" + fitted;
    }
    if (!notes.empty()) {
        text += "\n" + notes;
    }
    return text;
}

std::string summary_json(const polynomial& poly, const fold_result& fold, const measurement& m,
                         const capture_rates& rates)
{
    const auto picoseconds_of = [&](const std::optional<double>& shift) {
        return shift && rates.bit_rate
                   ? optional_json(in_picoseconds(*shift, *rates.bit_rate), picosecond_places)
                   : nlohmann::ordered_json(nullptr);
    };
    nlohmann::ordered_json echoes = nlohmann::ordered_json::array();
    for (const echo_result& echo : m.echoes) {
        nlohmann::ordered_json item;
        item["effect"] = effect_key(echo.which);
        item["location"] = echo.location;
        item["size"] = rounded(echo.size, size_places);
        item["separable"] = is_separable(echo);
        item["shift"] = optional_json(echo.shift, shift_places);
        item["shift_uncertainty"] = optional_json(echo.shift_uncertainty, shift_places);
        item["shift_ps"] = picoseconds_of(echo.shift);
        item["shift_ps_uncertainty"] = picoseconds_of(echo.shift_uncertainty);
        const auto figure = [&](const char* key, const std::optional<fitted_value>& value) {
            item[key] =
                optional_json(value ? std::optional(value->value) : std::nullopt, shift_places);
            item[std::string(key) + "_uncertainty"] = optional_json(
                value ? std::optional(value->uncertainty) : std::nullopt, shift_places);
        };
        if (echo.which == effect::hts) {
            figure("read_asymmetry", echo.read_asymmetry);
            if (m.asymmetry_unmeasured) {
                item["read_asymmetry_not_given_because"] = std::string(why_no_asymmetry(m));
            }
        }
        if (echo.which == effect::nlts) {
            figure("partial_erasure", echo.partial_erasure);
            if (m.erasure_unmeasured) {
                item["partial_erasure_not_given_because"] = std::string(erasure_reason);
            }
        }
        if (!is_separable(echo)) {
            item["not_separable_because"] = "it " + why_not_separable(echo);
        }
        echoes.push_back(item);
    }
    nlohmann::ordered_json out;
    out["polynomial"] = polynomial_text(poly);
    out["order"] = poly.order;
    out["length"] = sequence_length(poly.order);
    out["samples_per_bit"] = rounded(fold.samples_per_bit, rate_places);
    out["bit_rate"] = rates.bit_rate ? nlohmann::ordered_json(*rates.bit_rate) : nullptr;
    out["sample_rate"] = rates.sample_rate ? nlohmann::ordered_json(*rates.sample_rate) : nullptr;
    out["periods"] = fold.periods;
    out["snr_db"] = rounded(m.snr_db, snr_places);
    out["medium"] = medium_name(m.medium);
    out["pw50"] = rounded(m.pw50, pw50_places);
    out["set_aside"] = fold.set_aside;
    out["echoes"] = echoes;
    return out.dump() + "\n";
}

}  // namespace keldran::echo
