#include "commands.h"

#include "choose.h"
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

// What to try, added to the message of a capture that cannot be measured, when
// the decoder saw signs that it was read in the wrong format.
std::string sign_advice(const echo_error& error, const capture_signs& signs, capture_format format,
                        const capture_options& o)
{
    // A line that is not a number is named already: the line itself shows what is wrong.
    const bool line_named =
        error.code == echo_errc::line_not_a_number || error.code == echo_errc::line_not_finite;
    if (signs.other_order_finite) {
        return "; read in the other byte order its samples are finite: give --byte-order "
               + std::string(o.byte_order == "big" ? "little" : "big");
    }
    if (signs.decimal_commas && !line_named) {
        return "; its numbers look written with decimal commas, which ',' between columns "
               "cuts apart: save the csv with ';' or tabs between columns";
    }
    // A handful of values matters only where the capture was found not to hold the pattern.
    const bool not_the_pattern = error.code == echo_errc::does_not_repeat
                                 || error.code == echo_errc::pattern_not_found
                                 || error.code == echo_errc::rate_beyond_search;
    if (!not_the_pattern) {
        return {};
    }
    if (signs.other_order_smoother) {
        return "; read in the other byte order its samples are far smoother: give --byte-order "
               + std::string(o.byte_order == "big" ? "little" : "big");
    }
    if (signs.distinct_values == 1) {
        return format == capture_format::csv
                   ? "; the column read does not vary: give --channel for the one that holds "
                     "the signal"
                   : "; its samples do not vary";
    }
    if (signs.distinct_values > 1) {
        return "; its samples take only " + std::to_string(signs.distinct_values)
               + " distinct values: a digital channel, or another format (--format)?";
    }
    return {};
}

// What to give, added to the message of a capture that names no channel or segment it holds.
std::string choice_advice(const echo_error& error)
{
    const std::string range = " 1 to " + std::to_string(error.count);
    switch (error.code) {
    case echo_errc::no_such_channel:
        return "; give --channel" + range;
    case echo_errc::no_such_segment:
    case echo_errc::segment_needed:
        return "; give --segment" + range;
    case echo_errc::rate_beyond_search:
        return "; give --samples-per-bit nearer the capture's rate";
    default:
        return {};
    }
}

// What keldran-echo says of a capture that cannot be measured, and what to try.
std::string capture_message(const std::string& name, const echo_error& error,
                            const capture_signs& signs, capture_format format,
                            const capture_options& o)
{
    if (error.code == echo_errc::no_samples) {
        return name + " holds no samples" + sign_advice(error, signs, format, o);
    }
    if (error.code == echo_errc::unknown_format) {
        return "cannot tell the format of " + name
               + " from its content or its name; give "
                 "--format i8, u8, i16, f32, f64, csv, trc, isf or bin";
    }
    return name + ": " + error_text(error) + choice_advice(error)
           + sign_advice(error, signs, format, o);
}

// The status-2 message of rates that do not fix samples per bit one way.
std::string rate_message(const std::string& name, const echo_error& error)
{
    switch (error.code) {
    case echo_errc::rate_not_given:
        return "give --samples-per-bit, or --bit-rate (with --sample-rate where the capture "
               "does not state its own)";
    case echo_errc::rate_given_twice:
        return "--samples-per-bit and --bit-rate both fix the rate; give one of them";
    case echo_errc::sample_rate_alone:
        return "--sample-rate: give --bit-rate with it, or --samples-per-bit alone";
    case echo_errc::sample_rate_unknown:
        return "--bit-rate: " + name
               + " does not state its sample rate; give --sample-rate too, or --samples-per-bit";
    case echo_errc::sample_rate_disagrees:
        return "--sample-rate: " + error_text(error) + " (" + name + "); leave --sample-rate out";
    default:
        return "--bit-rate: " + error_text(error);
    }
}

bool is_rate_error(const echo_error& error)
{
    return error.code >= echo_errc::rate_not_given && error.code <= echo_errc::rate_out_of_range;
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

pulse_shape pulse_named(const std::string& name)
{
    return name == "gaussian" ? pulse_shape::gaussian : pulse_shape::lorentzian;
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
                              pulse_named(o.pulse),
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

// An open capture: the file or standard input, and the name its messages use.
struct open_capture {
    std::FILE* file = nullptr;
    std::string name;
    bool from_stdin = false;
};

capture_layout layout_of(const capture_options& o)
{
    capture_layout layout{.format = std::nullopt,
                          .order = byte_order_named(o.byte_order).value_or(byte_order::little),
                          .channel = o.channel,
                          .segment = o.segment,
                          .hint = o.capture == "-" ? std::nullopt : format_of_path(o.capture)};
    if (!o.format.empty()) {
        layout.format = format_named(o.format);
    }
    return layout;
}

bool open_source(const capture_options& o, open_capture& in)
{
    in.from_stdin = o.capture == "-";
    in.name = in.from_stdin ? "standard input" : o.capture;
    in.file = in.from_stdin ? stdin : std::fopen(o.capture.c_str(), "rb");
    if (in.file == nullptr) {
        fail(status_failed, "cannot read " + o.capture + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

void close_source(const open_capture& in)
{
    if (!in.from_stdin) {
        std::fclose(in.file);
    }
}

int run_measure(const measure_options& o)
{
    const std::optional<polynomial> poly = polynomial_option(o.poly);
    if (!poly) {
        return status_usage;
    }
    const rate_request request{o.samples_per_bit, o.bit_rate, o.sample_rate};
    if (echo_error error = check_rate_request(request)) {
        return fail(status_usage, rate_message(o.source.capture, error));
    }
    open_capture in;
    if (!open_source(o.source, in)) {
        return status_failed;
    }
    const std::optional<recording_medium> medium = medium_named(o.medium);
    const capture_measurement got =
        measure_capture(*poly, layout_of(o.source), request, file_source(in.file), medium);
    close_source(in);
    if (is_rate_error(got.error)) {
        return fail(status_usage, rate_message(in.name, got.error));
    }
    if (got.error) {
        // A capture whose format cannot be told needs --format: a command-line matter.
        const int status =
            got.error.code == echo_errc::unknown_format ? status_usage : status_failed;
        return fail(status,
                    capture_message(in.name, got.error, got.signs, got.info.format, o.source));
    }
    if (!o.plot.empty() && !write_plot(o.plot, *poly, got.folded, medium)) {
        return fail(status_failed, "cannot write " + o.plot + ": " + std::strerror(errno));
    }
    return print_text(o.json ? summary_json(*poly, got.folded, got.result, got.rates)
                             : summary_table(*poly, got.folded, got.result, got.rates));
}

int run_info(const info_options& o)
{
    open_capture in;
    if (!open_source(o.source, in)) {
        return status_failed;
    }
    capture_layout layout = layout_of(o.source);
    // A sequence trace is described by its first segment unless another is asked for.
    layout.segment = std::max<std::int64_t>(layout.segment, 1);
    const decoder_handle decoder = decoder_create(layout);
    const byte_source source = file_source(in.file);
    constexpr std::size_t read_chunk = std::size_t{1} << 18;
    std::vector<char> bytes(read_chunk);
    std::vector<float> samples;
    echo_error error;
    for (byte_read got = source(bytes); !error; got = source(bytes)) {
        samples.clear();
        if (got.failed) {
            error = {.code = echo_errc::read_failed, .text = got.reason};
        } else if (got.size == 0) {
            error = decoder_finish(*decoder, samples);
            break;
        } else {
            error = decoder_feed(*decoder, std::span(bytes).first(got.size), samples);
        }
    }
    close_source(in);
    if (error) {
        const int status = error.code == echo_errc::unknown_format ? status_usage : status_failed;
        return fail(status, capture_message(in.name, error, decoder_signs(*decoder),
                                            decoder_info(*decoder).format, o.source));
    }
    const capture_info& info = decoder_info(*decoder);
    return print_text(o.json ? capture_json(info) : capture_table(info));
}

int run_choose(const choose_options& o)
{
    choice_request request{.order = o.order, .model = {}, .window = o.window};
    request.model.pw50 = o.pw50;
    request.model.pulse = pulse_named(o.pulse);
    request.model.medium = medium_named(o.medium).value_or(recording_medium::longitudinal);
    const choice chosen = choose_polynomials(request);
    return print_text(o.json ? choice_json(request, chosen)
                             : choice_table(request, chosen, static_cast<std::size_t>(o.count)));
}

}  // namespace keldran::echo::tool
