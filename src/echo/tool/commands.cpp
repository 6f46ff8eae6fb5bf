#include "commands.h"

#include "measure.h"
#include "output.h"
#include "plot.h"
#include "summary.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace keldran::echo::tool {

namespace {

// The polynomial a command names, or the status-2 message when it is not one keldran lists.
std::optional<polynomial> polynomial_option(const std::string& text)
{
    const polynomial_parse parsed = parse_polynomial(text);
    if (!parsed.poly) {
        fail(status_usage, "--poly: " + error_text(parsed.error));
    }
    return parsed.poly;
}

// What keldran-echo says of a capture that cannot be measured, and what to try.
std::string capture_message(const std::string& name, const echo_error& error)
{
    if (error.code == echo_errc::no_samples) {
        return name + " holds no samples";
    }
    std::string text = name + ": " + error_text(error);
    if (error.code == echo_errc::rate_beyond_search) {
        text += "; give --samples-per-bit nearer the capture's rate";
    }
    return text;
}

// The capture's bytes from a file or standard input.
byte_source file_source(std::FILE* in)
{
    return [in](std::span<char> buffer) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        const bool failed = got == 0 && std::ferror(in) != 0;
        return byte_read{got, failed, failed ? std::strerror(errno) : ""};
    };
}

bool write_plot(const std::string& path, const polynomial& poly, const fold_result& folded,
                std::optional<recording_medium> medium)
{
    output plot{path};
    if (!open_output(plot)) {
        return false;
    }
    const std::string svg = render_svg(plot_period(poly, folded.period, folded.rate, medium));
    std::fwrite(svg.data(), 1, svg.size(), plot.file);
    return close_output(plot);
}

// The medium an option names; none when it is to be found in the capture.
std::optional<recording_medium> medium_named(const std::string& name)
{
    if (name.empty()) {
        return std::nullopt;
    }
    return name == "perpendicular" ? recording_medium::perpendicular
                                   : recording_medium::longitudinal;
}

// One period of the pattern as `o` writes it, each bit held for its samples:
// text for bits and csv, levels for f32.
struct written_period {
    std::string text;
    std::vector<float> levels;
};

written_period one_period(const std::vector<std::int32_t>& bits, const pattern_options& o)
{
    written_period period;
    if (o.format == "bits") {
        for (const std::int32_t bit : bits) {
            period.text += bit != 0 ? '1' : '0';
        }
        period.text += '\n';
        return period;
    }
    for (const std::int32_t bit : bits) {
        for (std::int64_t k = 0; k < o.samples_per_bit; ++k) {
            if (o.format == "csv") {
                period.text += bit != 0 ? "1\n" : "0\n";
            } else {
                period.levels.push_back(bit != 0 ? 1.0F : -1.0F);
            }
        }
    }
    return period;
}

}  // namespace

int run_pattern(const pattern_options& o)
{
    const std::optional<polynomial> poly = polynomial_option(o.poly);
    if (!poly) {
        return status_usage;
    }
    if (o.format == "bits" && o.samples_per_bit != 1) {
        return fail(status_usage,
                    "--samples-per-bit: the bits format writes one character a bit; give "
                    "--format f32 or csv");
    }
    const std::vector<std::int32_t> bits = pattern_bits(*poly);
    output out{o.path};
    if (!open_output(out)) {
        return write_failed(out);
    }
    const written_period period = one_period(bits, o);
    for (std::int64_t p = 0; p < o.periods; ++p) {
        if (o.format == "f32") {
            write_samples(out.file, period.levels);
        } else {
            std::fwrite(period.text.data(), 1, period.text.size(), out.file);
        }
    }
    return close_output(out) ? status_ok : write_failed(out);
}

int run_simulate(const simulate_options& o)
{
    const std::optional<polynomial> poly = polynomial_option(o.poly);
    if (!poly) {
        return status_usage;
    }
    const bool perpendicular = medium_named(o.medium) == recording_medium::perpendicular;
    // A step that erased part of itself would no longer write its level.
    if (perpendicular && o.partial_erasure != 0) {
        return fail(status_usage, "--partial-erasure: must be 0 with --medium perpendicular");
    }
    const channel_model model{o.pw50,
                              o.pulse == "gaussian" ? pulse_shape::gaussian
                                                    : pulse_shape::lorentzian,
                              o.hts,
                              o.nlts,
                              medium_named(o.medium).value_or(recording_medium::longitudinal),
                              o.partial_erasure,
                              o.asymmetry};
    const capture_plan plan{o.samples_per_bit, o.periods, o.start, o.snr, o.seed};
    output out{o.path};
    if (!open_output(out)) {
        return write_failed(out);
    }
    const bool csv = o.format == "csv";
    const echo_error error =
        simulate_capture(*poly, model, plan, [&](std::span<const float> chunk) {
            if (csv) {
                write_csv(out.file, chunk);
            } else {
                write_samples(out.file, chunk);
            }
            return std::ferror(out.file) == 0;
        });
    if (error && std::ferror(out.file) == 0) {
        close_output(out);
        return fail(status_failed, error_text(error));
    }
    return close_output(out) ? status_ok : write_failed(out);
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
        return fail(status_usage,
                    "cannot tell the format of " + o.capture
                        + " from its name; give --format i8, u8, i16, f32, f64 or csv");
    }
    const bool from_stdin = o.capture == "-";
    std::FILE* in = from_stdin ? stdin : std::fopen(o.capture.c_str(), "rb");
    if (in == nullptr) {
        return fail(status_failed, "cannot read " + o.capture + ": " + std::strerror(errno));
    }
    const std::optional<recording_medium> medium = medium_named(o.medium);
    const capture_measurement got = measure_capture(
        *poly, {*format, byte_order_named(o.byte_order).value_or(byte_order::little)},
        o.samples_per_bit, file_source(in), medium);
    if (!from_stdin) {
        std::fclose(in);
    }
    if (got.error) {
        return fail(status_failed,
                    capture_message(from_stdin ? "standard input" : o.capture, got.error));
    }
    if (!o.plot.empty() && !write_plot(o.plot, *poly, got.folded, medium)) {
        return fail(status_failed, "cannot write " + o.plot + ": " + std::strerror(errno));
    }
    return print_text(o.json ? summary_json(*poly, got.folded, got.result)
                             : summary_table(*poly, got.folded, got.result));
}

}  // namespace keldran::echo::tool
