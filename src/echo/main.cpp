// keldran-echo: writes the pattern of a maximal-length polynomial, simulates
// its read-back, and measures the size of each write echo in a capture.
#include "capture.h"
#include "channel.h"
#include "fit.h"
#include "fold.h"
#include "platform.h"
#include "plot.h"
#include "polynomial.h"
#include "summary.h"

#include <CLI/CLI.hpp>

#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using namespace keldran::echo;

constexpr int status_ok = 0;
constexpr int status_failed = 1;
constexpr int status_usage = 2;
// Read in pieces small enough to stay in the processor's cache.
constexpr std::size_t read_chunk = std::size_t{1} << 18;

int fail(int status, const std::string& message)
{
    const std::string line = "keldran-echo: " + message + "\n";
    std::fputs(line.c_str(), stderr);
    return status;
}

// Output to a file named by -o, or to standard output for "-" or none.
struct output {
    std::string path;
    std::FILE* file = nullptr;
};

bool open_output(output& out)
{
    if (out.path.empty() || out.path == "-") {
        out.file = stdout;
        return true;
    }
    out.file = std::fopen(out.path.c_str(), "wb");
    return out.file != nullptr;
}

// Finishes the output; false (with errno set) when any of it was lost.
bool close_output(output& out)
{
    const bool written = std::ferror(out.file) == 0 && std::fflush(out.file) == 0;
    if (out.file != stdout) {
        return std::fclose(out.file) == 0 && written;
    }
    return written;
}

std::string output_name(const output& out)
{
    return out.file == stdout ? std::string("standard output") : out.path;
}

int write_failed(const output& out)
{
    return fail(status_failed, "cannot write " + output_name(out) + ": " + std::strerror(errno));
}

// Little-endian float32, whatever the host's byte order.
void write_samples(std::FILE* file, std::span<const float> samples)
{
    constexpr unsigned byte_bits = 8;
    constexpr unsigned byte_mask = 0xFFU;
    std::vector<unsigned char> bytes(samples.size() * sizeof(float));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto word = std::bit_cast<std::uint32_t>(samples[i]);
        for (std::size_t b = 0; b < sizeof(float); ++b) {
            bytes[i * sizeof(float) + b] =
                static_cast<unsigned char>((word >> (byte_bits * b)) & byte_mask);
        }
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file);
}

// One sample per line, with the digits that bring a float32 back exactly.
void write_csv(std::FILE* file, std::span<const float> samples)
{
    constexpr std::size_t room = 32;
    std::string text;
    std::array<char, room> number{};
    for (const float y : samples) {
        const auto [end, ec] = std::to_chars(number.data(), number.data() + number.size(), y);
        text.append(number.data(), ec == std::errc{} ? end : number.data());
        text += '\n';
    }
    std::fwrite(text.data(), 1, text.size(), file);
}

// The polynomial a command names, or the status-2 message when it is not one keldran lists.
std::optional<polynomial> polynomial_option(const std::string& text)
{
    const polynomial_parse parsed = parse_polynomial(text);
    if (!parsed.poly) {
        fail(status_usage, "--poly: " + parsed.error);
    }
    return parsed.poly;
}

struct pattern_options {
    std::string poly;
    std::int64_t periods = 1;
    std::string format = "bits";
    std::string path;
};

int run_pattern(const pattern_options& o)
{
    const std::optional<polynomial> poly = polynomial_option(o.poly);
    if (!poly) {
        return status_usage;
    }
    const std::vector<std::int32_t> bits = pattern_bits(*poly);
    output out{o.path};
    if (!open_output(out)) {
        return write_failed(out);
    }
    std::string text;
    std::vector<float> levels;
    for (const std::int32_t bit : bits) {
        if (o.format == "bits") {
            text += bit != 0 ? '1' : '0';
        } else if (o.format == "csv") {
            text += bit != 0 ? "1\n" : "0\n";
        } else {
            levels.push_back(bit != 0 ? 1.0F : -1.0F);
        }
    }
    if (o.format == "bits") {
        text += '\n';
    }
    for (std::int64_t p = 0; p < o.periods; ++p) {
        if (o.format == "f32") {
            write_samples(out.file, levels);
        } else {
            std::fwrite(text.data(), 1, text.size(), out.file);
        }
    }
    return close_output(out) ? status_ok : write_failed(out);
}

struct simulate_options {
    std::string poly;
    double samples_per_bit = 0;
    double periods = default_periods;
    double pw50 = default_pw50;
    std::string pulse = "lorentzian";
    double hts = 0;
    double nlts = 0;
    std::optional<double> snr;
    double start = 0;
    std::uint64_t seed = 1;
    std::string format = "f32";
    std::string path;
};

int run_simulate(const simulate_options& o)
{
    const std::optional<polynomial> poly = polynomial_option(o.poly);
    if (!poly) {
        return status_usage;
    }
    const channel_model model{
        o.pw50, o.pulse == "gaussian" ? pulse_shape::gaussian : pulse_shape::lorentzian, o.hts,
        o.nlts};
    const capture_plan plan{o.samples_per_bit, o.periods, o.start, o.snr, o.seed};
    output out{o.path};
    if (!open_output(out)) {
        return write_failed(out);
    }
    const bool csv = o.format == "csv";
    const std::string error =
        simulate_capture(*poly, model, plan, [&](std::span<const float> chunk) {
            if (csv) {
                write_csv(out.file, chunk);
            } else {
                write_samples(out.file, chunk);
            }
            return std::ferror(out.file) == 0;
        });
    if (!error.empty() && std::ferror(out.file) == 0) {
        close_output(out);
        return fail(status_failed, error);
    }
    return close_output(out) ? status_ok : write_failed(out);
}

struct measure_options {
    std::string poly;
    double samples_per_bit = 0;
    std::string format;
    bool json = false;
    std::string plot;
    std::string capture;
};

// Reads the whole capture through the decoder into the averaging.
std::string read_capture(std::FILE* in, capture_decoder& decoder, fold_state& fold)
{
    std::vector<char> bytes(read_chunk);
    std::vector<float> samples;
    samples.reserve(read_chunk);
    for (;;) {
        const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
        samples.clear();
        std::string error = got > 0 ? decode_chunk(decoder, std::span(bytes).first(got), samples)
                                    : decode_end(decoder, samples);
        if (error.empty()) {
            error = fold_feed(fold, samples);
        }
        if (!error.empty()) {
            return error;
        }
        if (got == 0) {
            return std::ferror(in) != 0
                       ? std::string("the capture could not be read: ") + std::strerror(errno)
                       : "";
        }
    }
}

// The capture read whole and averaged, or the status and message of why not.
struct folded_capture {
    fold_result folded;
    int status = status_ok;
};

folded_capture fold_capture(const measure_options& o, capture_format format, std::int64_t length)
{
    const bool from_stdin = o.capture == "-";
    std::FILE* in = from_stdin ? stdin : std::fopen(o.capture.c_str(), "rb");
    if (in == nullptr) {
        return {{}, fail(status_failed, "cannot read " + o.capture + ": " + std::strerror(errno))};
    }
    const std::string name = from_stdin ? std::string("standard input") : o.capture;
    capture_decoder decoder;
    decoder.format = format;
    fold_state fold = fold_begin(length, o.samples_per_bit);
    const std::string read_error = read_capture(in, decoder, fold);
    if (!from_stdin) {
        std::fclose(in);
    }
    if (!read_error.empty()) {
        return {{}, fail(status_failed, name + ": " + read_error)};
    }
    if (decoder.samples == 0) {
        return {{}, fail(status_failed, name + " holds no samples")};
    }
    fold_result folded = fold_end(fold);
    if (!folded.error.empty()) {
        return {{}, fail(status_failed, name + ": " + folded.error)};
    }
    return {std::move(folded), status_ok};
}

bool write_plot(const std::string& path, const plot_data& data)
{
    output plot{path};
    if (!open_output(plot)) {
        return false;
    }
    const std::string svg = render_svg(data);
    std::fwrite(svg.data(), 1, svg.size(), plot.file);
    return close_output(plot);
}

int run_measure(const measure_options& o)
{
    const std::optional<polynomial> poly = polynomial_option(o.poly);
    if (!poly) {
        return status_usage;
    }
    const std::optional<capture_format> format =
        o.format.empty() ? format_of_path(o.capture) : format_named(o.format);
    if (!format) {
        return fail(status_usage, "cannot tell the format of " + o.capture
                                      + " from its name; give --format f32, i16 or csv");
    }
    const folded_capture got = fold_capture(o, *format, keldran::sequence_length(poly->order));
    if (got.status != status_ok) {
        return got.status;
    }
    const fold_result& folded = got.folded;
    const measurement m = measure_period(*poly, folded.period, folded.rate, !o.plot.empty());
    if (!m.error.empty()) {
        const std::string name = o.capture == "-" ? std::string("standard input") : o.capture;
        return fail(status_failed, name + ": " + m.error);
    }
    if (!o.plot.empty() && !write_plot(o.plot, m.plot)) {
        return fail(status_failed, "cannot write " + o.plot + ": " + std::strerror(errno));
    }
    const std::string text =
        o.json ? summary_json(*poly, folded, m) : summary_table(*poly, folded, m);
    output out{};
    open_output(out);
    std::fwrite(text.data(), 1, text.size(), out.file);
    return close_output(out) ? status_ok : write_failed(out);
}

// Captures beyond this many samples per bit would not fit two periods in memory.
constexpr double most_samples_per_bit = 10000.0;

// The number `text` holds whole, as CLI11 reads reals and as std::from_chars
// reads whole numbers; nothing when it holds something else.
template <typename Number> std::optional<Number> number_in(const std::string& text)
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
                const std::optional<Number> value = number_in<Number>(text);
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

const CLI::Validator whole_count = number_check<std::int64_t>([](std::int64_t v) { return v > 0; },
                                                              "a whole number of at least 1", "N");

const CLI::Validator seed_number = number_check<std::uint64_t>(
    [](std::uint64_t) { return true; }, "a whole number from 0 to 18446744073709551615", "S");

const char* const poly_help = "the polynomial as keldran prints it, e.g. \"x^7 + x^3 + 1\"";

enum class command : std::uint8_t { none, pattern, simulate, measure };

// Help and the version go to standard output; losing them is a failure too.
int print_text(const std::string& text)
{
    output out{};
    open_output(out);
    std::fputs(text.c_str(), out.file);
    return close_output(out) ? status_ok : write_failed(out);
}

void add_pattern(CLI::App& app, pattern_options& o, command& which)
{
    CLI::App* cmd = app.add_subcommand("pattern", "Write the pattern: N periods of the sequence");
    cmd->add_option("--poly", o.poly, poly_help)->required();
    cmd->add_option("--periods", o.periods, "periods to write (default 1)")->check(whole_count);
    cmd->add_option("--format", o.format,
                    "bits: 0 and 1, a period per line; csv: a bit per line; "
                    "f32: little-endian float32, +1 for 1 and -1 for 0")
        ->check(CLI::IsMember({"bits", "csv", "f32"}));
    cmd->add_option("-o", o.path, "write to this file instead of standard output");
    cmd->callback([&which] { which = command::pattern; });
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
    cmd->add_option("--pw50", o.pw50,
                    "width at half height of the transition response, in bit cells (default 2.5)")
        ->check(above_zero);
    cmd->add_option("--pulse", o.pulse, "lorentzian (default) or gaussian")
        ->check(CLI::IsMember({"lorentzian", "gaussian"}));
    cmd->add_option("--hts", o.hts, "hard transition shift D in bit cells (default 0)")
        ->check(finite);
    cmd->add_option("--nlts", o.nlts, "nonlinear transition shift D in bit cells (default 0)")
        ->check(finite);
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
        ->required()
        ->check(sample_rate);
    cmd->add_option("--format", o.format,
                    "f32, i16 or csv (default: from the file name's extension)")
        ->check(CLI::IsMember({"f32", "i16", "csv"}));
    cmd->add_flag("--json", o.json, "write the result as JSON");
    cmd->add_option("--plot", o.plot,
                    "draw the correlation and the fitted echoes into this SVG file");
    cmd->add_option("capture", o.capture, "the capture: a file, or - for standard input")
        ->required();
    cmd->callback([&which] { which = command::measure; });
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
    add_pattern(app, pattern, which);
    add_simulate(app, simulate, which);
    add_measure(app, measure, which);
    const std::string first = argc > 1 ? argv[1] : "-";
    if (!first.starts_with('-') && first != "pattern" && first != "simulate"
        && first != "measure") {
        return fail(status_usage, "unknown command \"" + first
                                      + "\"; the commands are pattern, simulate and measure");
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
