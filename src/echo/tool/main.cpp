// keldran-echo: writes the pattern of a maximal-length polynomial, simulates
// its read-back, and measures the size of each write echo in a capture. This
// file reads the command line; commands.cpp does each command's work.
#include "commands.h"
#include "measure.h"
#include "output.h"
#include "platform.h"

#include <CLI/CLI.hpp>

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

namespace {

using namespace keldran::echo::tool;

// Captures beyond this many samples per bit would not fit two periods in memory.
constexpr double most_samples_per_bit = keldran::echo::most_samples_per_bit;

// A rate with every digit a double holds, for CLI11 to read back exactly.
std::string formatted_rate(double v)
{
    constexpr int all_digits = 17;
    constexpr std::size_t room = 64;  // more than the longest double written so
    std::array<char, room> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), v,
                                            std::chars_format::general, all_digits);
    return error == std::errc{} ? std::string(text.data(), end) : std::string("?");
}

// The value CLI11 will store for `text`: reals as CLI11 reads them, whole numbers as
// std::from_chars reads them whole; nothing when CLI11 would refuse it.
template <typename Number> std::optional<Number> option_value(const std::string& text)
{
    Number value{};
    if constexpr (std::is_floating_point_v<Number>) {
        return CLI::detail::lexical_cast(text, value) ? std::optional(value) : std::nullopt;
    } else {
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        const bool whole = ec == std::errc{} && end == text.data() + text.size();
        return whole ? std::optional(value) : std::nullopt;
    }
}

// A check that the option holds a Number that `accept` takes; otherwise the
// message says it "must be `wanted`".
template <typename Number, typename Accept>
CLI::Validator number_check(Accept accept, const std::string& wanted, const std::string& shown)
{
    return {[accept, wanted](const std::string& text) {
                const std::optional<Number> value = option_value<Number>(text);
                return value && accept(*value) ? std::string()
                                               : "must be " + wanted + ", not " + text;
            },
            shown};
}

const CLI::Validator above_zero = number_check<double>(
    [](double v) { return v > 0 && std::isfinite(v); }, "a number greater than 0", "> 0");

const CLI::Validator sample_rate =
    number_check<double>([](double v) { return v > 0 && v <= most_samples_per_bit; },
                         "a number greater than 0 and at most 10000", "> 0");

const CLI::Validator finite =
    number_check<double>([](double v) { return std::isfinite(v); }, "a finite number", "NUMBER");

// At E = 1 a transition beside another would vanish altogether.
const CLI::Validator erasure_fraction = number_check<double>(
    [](double v) { return v >= 0 && v < 1; }, "a number at least 0 and less than 1", "0 <= E < 1");

// Beyond |A| = 0.5 the head's reading x + A x^2 would turn back within the levels +-1.
constexpr double max_asymmetry = 0.5;
const CLI::Validator head_asymmetry =
    number_check<double>([](double v) { return std::abs(v) < max_asymmetry; },
                         "a number greater than -0.5 and less than 0.5", "|A| < 0.5");

const CLI::Validator whole_count = number_check<std::int64_t>([](std::int64_t v) { return v > 0; },
                                                              "a whole number of at least 1", "N");

// An arbitrary waveform generator holds each bit for a few samples, rarely a hundred;
// a period is written from memory, so the count is bounded.
constexpr std::int64_t most_samples_held = 1000;
const CLI::Validator samples_held =
    number_check<std::int64_t>([](std::int64_t v) { return v >= 1 && v <= most_samples_held; },
                               "a whole number from 1 to 1000", "K");

const CLI::Validator seed_number = number_check<std::uint64_t>(
    [](std::uint64_t) { return true; }, "a whole number from 0 to 18446744073709551615", "S");

// A rate in bits or samples per second, as "1.2e9" or with an SI prefix, "1.2G",
// made plain for CLI11 to store; left as typed when it is not one, for the check to refuse.
std::string plain_rate(std::string text)
{
    constexpr std::array<std::pair<char, double>, 4> prefixes{
        {{'k', 1e3}, {'M', 1e6}, {'G', 1e9}, {'T', 1e12}}};
    for (const auto& [prefix, scale] : prefixes) {
        if (text.size() > 1 && text.back() == prefix) {
            const std::optional<double> value =
                option_value<double>(text.substr(0, text.size() - 1));
            if (value) {
                text = formatted_rate(*value * scale);
            }
            break;
        }
    }
    return text;
}

const CLI::Validator rate_prefix(
    [](std::string& text) {
        text = plain_rate(text);
        return std::string();
    },
    "RATE");

const CLI::Validator per_second =
    number_check<double>([](double v) { return v > 0 && std::isfinite(v); },
                         "a rate greater than 0, such as 1.2e9 or 1.2G", "RATE");

const CLI::Validator whole_from_one = number_check<std::int64_t>(
    [](std::int64_t v) { return v >= 1; }, "a whole number of at least 1", "N");

const char* const poly_help = "the polynomial as keldran prints it, e.g. \"x^7 + x^3 + 1\"";

enum class command : std::uint8_t { none, pattern, simulate, measure, info, choose };

const char* const format_help =
    "i8, u8, i16, f32, f64, csv, trc, isf or bin (default: found from the content, with the "
    "file name's extension as a hint)";

void add_capture_options(CLI::App& cmd, capture_options& o)
{
    cmd.add_option("--format", o.format, format_help)
        ->check(CLI::IsMember({"i8", "u8", "i16", "f32", "f64", "csv", "trc", "isf", "bin"}));
    cmd.add_option("--byte-order", o.byte_order,
                   "little (default) or big: the order of a raw sample's bytes")
        ->check(CLI::IsMember({"little", "big"}));
    cmd.add_option("--channel", o.channel,
                   "csv: the signal column, counted after a time column (default the last); "
                   "bin: the waveform (default 1)")
        ->check(whole_from_one);
    cmd.add_option("--segment", o.segment, "trc: the segment of a sequence trace")
        ->check(whole_from_one);
    cmd.add_option("capture", o.capture, "the capture: a file, or - for standard input")
        ->required();
}

void add_pattern(CLI::App& app, pattern_options& o, command& which)
{
    CLI::App* cmd = app.add_subcommand("pattern", "Write the pattern: N periods of the sequence");
    cmd->add_option("--poly", o.poly, poly_help)->required();
    cmd->add_option("--periods", o.periods, "periods to write (default 1)")->check(whole_count);
    cmd->add_option("--samples-per-bit", o.samples_per_bit,
                    "csv and f32: each bit held for this many samples (default 1)")
        ->check(samples_held);
    cmd->add_option("--format", o.format,
                    "bits: 0 and 1, a period per line; csv: a sample per line; "
                    "f32: little-endian float32, +1 for 1 and -1 for 0")
        ->check(CLI::IsMember({"bits", "csv", "f32"}));
    cmd->add_option("-o", o.path, "write to this file instead of standard output");
    cmd->callback([&which] { which = command::pattern; });
}

// The pulse of the channel model: its width, as `width` allows, and its shape.
void add_pulse_options(CLI::App& cmd, double& pw50, std::string& pulse, const CLI::Validator& width)
{
    cmd.add_option("--pw50", pw50,
                   "width at half height of the transition response, in bit cells (default 2.5)")
        ->check(width);
    cmd.add_option("--pulse", pulse, "lorentzian (default) or gaussian")
        ->check(CLI::IsMember({"lorentzian", "gaussian"}));
}

void add_simulate(CLI::App& app, simulate_options& o, command& which)
{
    CLI::App* cmd =
        app.add_subcommand("simulate", "Write a read-back simulated by the channel model");
    cmd->add_option("--poly", o.poly, poly_help)->required();
    cmd->add_option("--samples-per-bit", o.samples_per_bit,
                    "samples per bit cell, any real > 0 up to 10000")
        ->required()
        ->check(sample_rate);
    cmd->add_option("--periods", o.periods, "periods to capture (default 4)")->check(above_zero);
    add_pulse_options(*cmd, o.pw50, o.pulse, above_zero);
    cmd->add_option("--hts", o.hts, "hard transition shift D in bit cells (default 0)")
        ->check(finite);
    cmd->add_option("--nlts", o.nlts, "nonlinear transition shift D in bit cells (default 0)")
        ->check(finite);
    cmd->add_option("--medium", o.medium,
                    "longitudinal (default): a transition reads as a pulse; perpendicular: as a "
                    "step from -1 to +1")
        ->check(CLI::IsMember({"longitudinal", "perpendicular"}));
    cmd->add_option("--partial-erasure", o.partial_erasure,
                    "a transition beside another reads 1 - E as large, longitudinal only "
                    "(default 0)")
        ->check(erasure_fraction);
    cmd->add_option("--asymmetry", o.asymmetry,
                    "the head reads x + A x^2 of the field x (default 0)")
        ->check(head_asymmetry);
    cmd->add_option("--snr", o.snr, "add white Gaussian noise at this signal-to-noise ratio in dB")
        ->check(finite);
    cmd->add_option("--start", o.start,
                    "where in the pattern the capture starts, in bit cells (default 0)")
        ->check(finite);
    cmd->add_option("--seed", o.seed, "seed of the noise (default 1)")->check(seed_number);
    cmd->add_option("--format", o.format, "f32 (default) or csv")
        ->check(CLI::IsMember({"f32", "csv"}));
    cmd->add_option("-o", o.path, "write to this file instead of standard output");
    cmd->callback([&which] { which = command::simulate; });
}

void add_measure(CLI::App& app, measure_options& o, command& which)
{
    CLI::App* cmd =
        app.add_subcommand("measure", "Measure the size of each echo in a captured read-back");
    cmd->add_option("--poly", o.poly, poly_help)->required();
    cmd->add_option("--samples-per-bit", o.samples_per_bit,
                    "nominal samples per bit cell, any real > 0 up to 10000")
        ->check(sample_rate);
    cmd->add_option("--bit-rate", o.bit_rate,
                    "the data's bit rate in bits per second, e.g. 1.2e9 or 1.2G; with the "
                    "sample rate it fixes the samples per bit")
        ->transform(rate_prefix)
        ->check(per_second)
        ->option_text("RATE");
    cmd->add_option("--sample-rate", o.sample_rate,
                    "the capture's sample rate in samples per second, where the file does not "
                    "state it")
        ->transform(rate_prefix)
        ->check(per_second)
        ->option_text("RATE");
    add_capture_options(*cmd, o.source);
    cmd->add_option("--medium", o.medium,
                    "longitudinal or perpendicular (default: found from the capture)")
        ->check(CLI::IsMember({"longitudinal", "perpendicular"}));
    cmd->add_flag("--json", o.json, "write the result as JSON");
    cmd->add_option("--plot", o.plot,
                    "draw the correlation and the fitted echoes into this SVG file");
    cmd->callback([&which] { which = command::measure; });
}

void add_info(CLI::App& app, info_options& o, command& which)
{
    CLI::App* cmd = app.add_subcommand("info", "Say what a capture holds, as it is read");
    add_capture_options(*cmd, o.source);
    cmd->add_flag("--json", o.json, "write it as JSON");
    cmd->callback([&which] { which = command::info; });
}

const CLI::Validator polynomial_order = number_check<std::int32_t>(
    [](std::int32_t v) { return v >= keldran::min_order && v <= keldran::max_order; },
    "a whole number from 3 to 12", "3..12");

// Polynomials are judged on a model read-back of 8 samples a bit, which holds no
// pulse much narrower than a bit (one of 0.03 would read as filling the period);
// 100 bit cells is far beyond any head, and keeps the model's spectrum finite.
constexpr double narrowest_choice_pulse = 0.5;
constexpr double widest_choice_pulse = 100;
const CLI::Validator choice_pulse_width = number_check<double>(
    [](double v) { return v >= narrowest_choice_pulse && v <= widest_choice_pulse; },
    "a number from 0.5 to 100", "0.5..100");

void add_choose(CLI::App& app, choose_options& o, command& which)
{
    CLI::App* cmd = app.add_subcommand(
        "choose", "Rank the polynomials of an order by how far apart their echoes fall");
    cmd->add_option("--order", o.order, "the polynomial order, 3 to 12")
        ->required()
        ->check(polynomial_order);
    add_pulse_options(*cmd, o.pw50, o.pulse, choice_pulse_width);
    cmd->add_option("--medium", o.medium, "longitudinal (default) or perpendicular")
        ->check(CLI::IsMember({"longitudinal", "perpendicular"}));
    cmd->add_option("--window", o.window,
                    "only polynomials whose HTS and NLTS echoes lie within this many bits of the "
                    "main response")
        ->check(above_zero)
        ->option_text("BITS");
    cmd->add_option("--count", o.count, "polynomials in the table (default 10)")
        ->check(whole_count);
    cmd->add_flag("--json", o.json, "write every polynomial as JSON");
    cmd->callback([&which] { which = command::choose; });
}

int run(int argc, char** argv)
{
    // A measurement makes and frees buffers of a period or two at a time.
    constexpr std::size_t keep_in_heap = std::size_t{1} << 26;
    keldran::platform::keep_freed_memory(keep_in_heap);
    // Patterns and captures are bytes: on every system, files and pipes carry the same ones.
    keldran::platform::use_binary_standard_streams();
    CLI::App app{"keldran-echo: writes, simulates and measures the write echoes of a "
                 "maximal-length pattern",
                 "keldran-echo"};
    app.set_version_flag("--version", std::string("keldran-echo ") + KELDRAN_VERSION);
    app.require_subcommand(1);
    command which = command::none;
    pattern_options pattern;
    simulate_options simulate;
    measure_options measure;
    info_options info;
    choose_options choose;
    add_pattern(app, pattern, which);
    add_simulate(app, simulate, which);
    add_measure(app, measure, which);
    add_info(app, info, which);
    add_choose(app, choose, which);
    const std::string first = argc > 1 ? argv[1] : "-";
    if (!first.starts_with('-') && first != "pattern" && first != "simulate" && first != "measure"
        && first != "info" && first != "choose") {
        return fail(status_usage,
                    "unknown command \"" + first
                        + "\"; the commands are pattern, simulate, measure, info and choose");
    }
    // CLI11 reports help, the version and parse errors as exceptions; they end here.
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return print_text(app.help());
    } catch (const CLI::CallForVersion& e) {
        return print_text(std::string(e.what()) + "\n");
    } catch (const CLI::ParseError& e) {
        return fail(status_usage, e.what());
    }
    switch (which) {
    case command::pattern:
        return run_pattern(pattern);
    case command::simulate:
        return run_simulate(simulate);
    case command::info:
        return run_info(info);
    case command::choose:
        return run_choose(choose);
    default:
        return run_measure(measure);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // Nothing below throws but what running out of memory would; say so rather than abort.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return fail(status_failed, "not enough memory for this capture");
    } catch (const std::exception& e) {
        return fail(status_failed, e.what());
    }
}
