// Captured read-backs, decoded a chunk at a time. Raw samples are read in the
// byte order the capture states whatever the host's, and text is parsed without
// the locale, so that one capture gives the same samples on every machine.
#include "capture.h"

#include "internal/csv_reader.h"
#include "internal/decode_internal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <system_error>

namespace keldran::echo {

namespace {
// As many distinct values as a capture misread may take, or a digital channel.
constexpr std::size_t few_values = 8;
}  // namespace

struct capture_decoder {
    enum class stage : std::uint8_t { detect, header, skip, samples, text, done };
    capture_layout layout;
    capture_info info;
    capture_signs signs;
    bool order_judged = false;  // raw samples: whether their byte order was judged yet
    stage at = stage::detect;
    stage after_skip = stage::samples;  // skip: what the bytes skipped lead to
    std::string held;                   // bytes of a header, a sample or a line still unfinished
    std::int64_t header_at = 0;         // header: where in the file `held` starts
    std::int64_t waveform = 1;          // header: the waveform whose header comes next
    std::int64_t skip_left = 0;         // skip: bytes still to pass over
    sample_plan plan;                   // samples: how they are stored
    std::int64_t samples_left = -1;     // samples: how many the file holds still; -1: to its end
    csv_reader csv;
    std::int64_t line = 0;  // text: lines taken so far
    bool finished = false;
    std::array<float, few_values + 1> values{};  // distinct values among the first samples
    std::size_t value_count = 0;
    stored_samples* stored = nullptr;  // where 8-bit samples go as stored, while a call asks so
    std::span<const char> given;       // the bytes that call gave, which alone outlive it
};

namespace {

constexpr std::size_t longest_line = std::size_t{1} << 16;
// Spreadsheet programs start a UTF-8 text file with this mark; it is not part of the first line.
constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";
// Samples among which distinct values are counted: enough to see any real signal's noise.
constexpr std::int64_t distinct_window = std::int64_t{1} << 16;
// Fewer samples than this say nothing of how many values a capture takes.
constexpr std::int64_t distinct_minimum = 256;

struct named_format {
    std::string_view name;
    capture_format format;
};
constexpr std::array<named_format, 9> format_names{{{"i8", capture_format::i8},
                                                    {"u8", capture_format::u8},
                                                    {"i16", capture_format::i16},
                                                    {"f32", capture_format::f32},
                                                    {"f64", capture_format::f64},
                                                    {"csv", capture_format::csv},
                                                    {"trc", capture_format::trc},
                                                    {"isf", capture_format::isf},
                                                    {"bin", capture_format::bin}}};

using stage = capture_decoder::stage;

echo_error feed_bytes(capture_decoder& decoder, std::span<const char> bytes,
                      std::vector<float>& out);

// Raw samples of a format with no header, in the byte order the layout gives.
sample_plan raw_plan(capture_format format, byte_order order)
{
    switch (format) {
    case capture_format::i8:
        return {.type = sample_type::i8, .order = order};
    case capture_format::u8:
        return {.type = sample_type::u8, .order = order};
    case capture_format::i16:
        return {.type = sample_type::i16, .order = order};
    case capture_format::f64:
        return {.type = sample_type::f64, .order = order};
    default:
        return {.type = sample_type::f32, .order = order};
    }
}

bool is_raw(capture_format format)
{
    return format != capture_format::csv && format != capture_format::trc
           && format != capture_format::isf && format != capture_format::bin;
}

// Sets the decoder to read `format` from the file's first byte.
void begin_format(capture_decoder& decoder, capture_format format)
{
    constexpr std::int32_t bits_per_byte = 8;
    decoder.info.format = format;
    if (format == capture_format::csv) {
        decoder.at = stage::text;
        decoder.csv = csv_create(decoder.layout.channel);
    } else if (is_raw(format)) {
        decoder.at = stage::samples;
        decoder.plan = raw_plan(format, decoder.layout.order);
        decoder.info.sample_bits =
            static_cast<std::int32_t>(sample_width(decoder.plan.type)) * bits_per_byte;
    } else {
        decoder.at = stage::header;
    }
}

// The format of a capture whose first bytes are `first`: an oscilloscope file's
// mark first, then what the name implies, then text as csv.
std::optional<capture_format> detected(std::string_view first, std::optional<capture_format> hint)
{
    if (const std::optional<capture_format> marked = format_by_signature(first)) {
        return marked;
    }
    if (hint && (is_raw(*hint) || *hint == capture_format::csv)) {
        return hint;
    }
    if (!hint && looks_like_text(first)) {
        return capture_format::csv;
    }
    return std::nullopt;
}

echo_error unrecognised(std::optional<capture_format> hint)
{
    if (!hint) {
        return {.code = echo_errc::unknown_format};
    }
    return {.code = echo_errc::not_this_format, .text = std::string(format_title(*hint))};
}

// Decides the format from the bytes held, then decodes them as that format.
echo_error decide_format(capture_decoder& decoder, std::vector<float>& out)
{
    const std::optional<capture_format> format = detected(decoder.held, decoder.layout.hint);
    if (!format) {
        return unrecognised(decoder.layout.hint);
    }
    begin_format(decoder, *format);
    const std::string first = std::move(decoder.held);
    decoder.held.clear();
    return feed_bytes(decoder, first, out);
}

echo_error take_detect(capture_decoder& decoder, std::span<const char>& bytes,
                       std::vector<float>& out)
{
    const auto head = bytes.first(std::min(signature_bytes - decoder.held.size(), bytes.size()));
    decoder.held.append(head.begin(), head.end());
    bytes = bytes.subspan(head.size());
    return decoder.held.size() < signature_bytes ? echo_error{} : decide_format(decoder, out);
}

header_step read_header(const capture_decoder& decoder, capture_info& info)
{
    const header_view view{decoder.held, decoder.header_at, decoder.waveform};
    switch (decoder.info.format) {
    case capture_format::trc:
        return read_trc_header(view, decoder.layout, info);
    case capture_format::isf:
        return read_isf_header(view, decoder.layout, info);
    default:
        return read_bin_header(view, decoder.layout, info);
    }
}

// Moves on to `target` in the file, where `next` begins; the bytes held beyond it
// are decoded again as what they are.
echo_error go_to(capture_decoder& decoder, std::int64_t target, stage next, std::vector<float>& out)
{
    const std::int64_t reached = decoder.header_at + static_cast<std::int64_t>(decoder.held.size());
    std::string beyond;
    if (target < reached) {
        beyond = decoder.held.substr(static_cast<std::size_t>(target - decoder.header_at));
    }
    decoder.held.clear();
    decoder.header_at = target;
    decoder.skip_left = std::max<std::int64_t>(target - reached, 0);
    decoder.after_skip = next;
    decoder.at = decoder.skip_left > 0 ? stage::skip : next;
    return beyond.empty() ? echo_error{} : feed_bytes(decoder, beyond, out);
}

echo_error follow_header(capture_decoder& decoder, const header_step& step, std::vector<float>& out)
{
    if (step.what == header_step::kind::failed) {
        return step.error;
    }
    if (step.offset < decoder.header_at) {
        return damaged_header(decoder.info.format, "it places its samples before its own header")
            .error;
    }
    if (step.what == header_step::kind::skip_to) {
        decoder.waveform = std::max(step.count, decoder.waveform);
        return go_to(decoder, step.offset, stage::header, out);
    }
    if (!scale_fits(step.plan)) {
        return damaged_header(decoder.info.format,
                              "its vertical scale makes values beyond single precision")
            .error;
    }
    decoder.plan = step.plan;
    decoder.samples_left = step.count;
    return go_to(decoder, step.offset, step.count > 0 ? stage::samples : stage::done, out);
}

echo_error take_header(capture_decoder& decoder, std::span<const char>& bytes,
                       std::vector<float>& out)
{
    const auto head = bytes.first(std::min(longest_header - decoder.held.size(), bytes.size()));
    decoder.held.append(head.begin(), head.end());
    bytes = bytes.subspan(head.size());
    const header_step step = read_header(decoder, decoder.info);
    if (step.what != header_step::kind::more) {
        return follow_header(decoder, step, out);
    }
    if (step.wanted > longest_header || decoder.held.size() >= longest_header) {
        return unrecognised(decoder.info.format);
    }
    return {};
}

echo_error take_skip(capture_decoder& decoder, std::span<const char>& bytes)
{
    const auto passed = std::min(static_cast<std::size_t>(std::min<std::int64_t>(
                                     decoder.skip_left, std::numeric_limits<std::int32_t>::max())),
                                 bytes.size());
    bytes = bytes.subspan(passed);
    decoder.skip_left -= static_cast<std::int64_t>(passed);
    if (decoder.skip_left == 0) {
        decoder.at = decoder.after_skip;
    }
    return {};
}

// Ends the samples appended from `first_new` on at the first NaN or infinity, which
// the error names; `bytes` are those they came from, to tell the other byte order's sign.
echo_error cut_at_non_finite(capture_decoder& decoder, std::vector<float>& out,
                             std::size_t first_new, std::span<const char> bytes)
{
    const auto begin = out.begin() + static_cast<std::ptrdiff_t>(first_new);
    const auto first_bad =
        std::find_if(begin, out.end(), [](float sample) { return !std::isfinite(sample); });
    const std::int64_t index = decoder.info.samples + (first_bad - begin) + 1;
    out.erase(first_bad, out.end());
    decoder.signs.other_order_finite = finite_in_other_order(decoder.plan, bytes);
    return {.code = echo_errc::sample_not_finite, .index = index};
}

// Whether `taken` can be handed on as stored: 8-bit samples that lie in the bytes the
// caller gave (the end of a header held from earlier chunks does not outlive the call),
// and the first such run of the call, which comes after any samples given as values.
bool can_hand_on(const capture_decoder& decoder, std::span<const char> taken, std::size_t width)
{
    const std::less_equal<const char*> not_after;
    const std::span<const char> given = decoder.given;
    return decoder.stored != nullptr && decoder.stored->bytes.empty() && width == 1
           && !taken.empty() && not_after(given.data(), taken.data())
           && not_after(taken.data() + taken.size(), given.data() + given.size());
}

// 8-bit samples, which never leave a byte for the next chunk, handed on as they are stored.
void hand_on_stored(capture_decoder& decoder, std::span<const char> taken)
{
    *decoder.stored = {.bytes = taken,
                       .scale = {.is_signed = decoder.plan.type == sample_type::i8,
                                 .gain = static_cast<float>(decoder.plan.gain),
                                 .offset = static_cast<float>(decoder.plan.offset)}};
    if (decoder.samples_left >= 0) {
        decoder.samples_left -= static_cast<std::int64_t>(taken.size());
        if (decoder.samples_left == 0) {
            decoder.at = stage::done;
        }
    }
}

// Stored samples: first completes the sample a previous chunk began, then takes every
// whole sample the data holds and keeps the rest for the next chunk.
echo_error take_samples(capture_decoder& decoder, std::span<const char>& bytes,
                        std::vector<float>& out)
{
    const std::size_t width = sample_width(decoder.plan.type);
    std::size_t room = bytes.size();
    if (decoder.samples_left >= 0) {
        room = static_cast<std::size_t>(std::min<std::int64_t>(
            static_cast<std::int64_t>(room), decoder.samples_left * static_cast<std::int64_t>(width)
                                                 - static_cast<std::int64_t>(decoder.held.size())));
    }
    std::string data = std::move(decoder.held);
    decoder.held.clear();
    std::span<const char> taken = bytes.first(room);
    bytes = bytes.subspan(room);
    if (!data.empty()) {
        data.append(taken.begin(), taken.end());
        taken = data;
    }
    const std::size_t whole = taken.size() - taken.size() % width;
    const std::size_t first_new = out.size();
    if (can_hand_on(decoder, taken, width)) {
        hand_on_stored(decoder, taken);
        return {};
    }
    const bool any_bad = append_values(decoder.plan, taken.first(whole), out);
    // Raw samples state no byte order: the first of them tell whether the one taken fits.
    if (!decoder.order_judged && is_raw(decoder.info.format)
        && whole / width >= order_judging_samples) {
        decoder.signs.other_order_smoother =
            smoother_in_other_order(decoder.plan, taken.first(whole));
        decoder.order_judged = true;
    }
    decoder.held.assign(taken.begin() + static_cast<std::ptrdiff_t>(whole), taken.end());
    if (decoder.samples_left >= 0) {
        decoder.samples_left -= static_cast<std::int64_t>(whole / width);
        if (decoder.samples_left == 0) {
            decoder.at = stage::done;
        }
    }
    return any_bad ? cut_at_non_finite(decoder, out, first_new, taken.first(whole)) : echo_error{};
}

echo_error take_line(capture_decoder& decoder, std::string_view line, std::vector<float>& out)
{
    ++decoder.line;
    // No number runs this long, wherever the chunks that brought the line ended.
    if (line.size() > longest_line) {
        return {.code = echo_errc::line_not_a_number,
                .index = decoder.line,
                .text = std::string(line.substr(0, longest_line))};
    }
    if (decoder.line == 1 && line.starts_with(utf8_bom)) {
        line.remove_prefix(utf8_bom.size());
    }
    return csv_take_line(decoder.csv, line, decoder.line, out, decoder.info, decoder.signs);
}

// Ends the line that earlier chunks began with `rest`, the part of it in this chunk.
echo_error take_carried_line(capture_decoder& decoder, std::string_view rest,
                             std::vector<float>& out)
{
    decoder.held += rest;
    echo_error message = take_line(decoder, decoder.held, out);
    decoder.held.clear();
    return message;
}

echo_error take_text(capture_decoder& decoder, std::span<const char>& bytes,
                     std::vector<float>& out)
{
    const std::string_view text(bytes.data(), bytes.size());
    bytes = {};
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos;
         end = text.find('\n', start)) {
        const std::string_view line = text.substr(start, end - start);
        echo_error message = decoder.held.empty() ? take_line(decoder, line, out)
                                                  : take_carried_line(decoder, line, out);
        if (message) {
            return message;
        }
        start = end + 1;
    }
    decoder.held += text.substr(start);
    // No number runs this long: a capture without line ends is not a csv capture,
    // and holding it all would take memory without end.
    if (decoder.held.size() > longest_line) {
        return {
            .code = echo_errc::line_not_a_number, .index = decoder.line + 1, .text = decoder.held};
    }
    return {};
}

echo_error feed_bytes(capture_decoder& decoder, std::span<const char> bytes,
                      std::vector<float>& out)
{
    echo_error error;
    while (!bytes.empty() && !error) {
        switch (decoder.at) {
        case stage::detect:
            error = take_detect(decoder, bytes, out);
            break;
        case stage::header:
            error = take_header(decoder, bytes, out);
            break;
        case stage::skip:
            error = take_skip(decoder, bytes);
            break;
        case stage::samples:
            error = take_samples(decoder, bytes, out);
            break;
        case stage::text:
            error = take_text(decoder, bytes, out);
            break;
        default:
            bytes = {};
        }
    }
    return error;
}

// Counts the new samples, notes the first and last, and the distinct values among the first.
void note_samples(capture_decoder& decoder, std::span<const float> fresh)
{
    if (fresh.empty()) {
        return;
    }
    if (decoder.info.samples == 0) {
        decoder.info.first = fresh.front();
    }
    decoder.info.last = fresh.back();
    const std::int64_t looked =
        std::min<std::int64_t>(std::max<std::int64_t>(distinct_window - decoder.info.samples, 0),
                               static_cast<std::int64_t>(fresh.size()));
    for (std::int64_t i = 0; i < looked && decoder.value_count <= few_values; ++i) {
        const float v = fresh[static_cast<std::size_t>(i)];
        const std::span<const float> known =
            std::span(decoder.values).first(static_cast<std::size_t>(decoder.value_count));
        if (std::ranges::find(known, v) == known.end()) {
            decoder.values[decoder.value_count++] = v;
        }
    }
    decoder.info.samples += static_cast<std::int64_t>(fresh.size());
}

// As note_samples, for samples handed on as stored: only the first of them, those the
// distinct values are counted among, and the last are made values.
void note_stored(capture_decoder& decoder, const stored_samples& stored)
{
    const std::size_t count = stored.bytes.size();
    if (count == 0) {
        return;
    }
    const auto looked = static_cast<std::size_t>(std::clamp<std::int64_t>(
        distinct_window - decoder.info.samples, 1, static_cast<std::int64_t>(count)));
    std::vector<float> values(looked);
    stored_values(stored, 0, values);
    note_samples(decoder, values);
    stored_values(stored, count - 1, std::span(&decoder.info.last, 1));
    decoder.info.samples += static_cast<std::int64_t>(count - looked);
}

// Ends the stage the capture stopped in: what an unfinished header, sample or line means.
echo_error end_stage(capture_decoder& decoder, std::vector<float>& out)
{
    switch (decoder.at) {
    case stage::header:
        return unrecognised(decoder.info.format);
    case stage::skip:
    case stage::samples: {
        if (decoder.at == stage::samples && !decoder.held.empty()) {
            const auto left = static_cast<std::int64_t>(decoder.held.size());
            decoder.held.clear();
            return {.code = echo_errc::ends_inside_sample, .count = left};
        }
        if (decoder.samples_left > 0 && decoder.info.declared_samples) {
            return {.code = echo_errc::ends_early,
                    .count = decoder.info.samples,
                    .needed = decoder.info.samples + decoder.samples_left,
                    .text = std::string(format_title(decoder.info.format))};
        }
        return {};
    }
    case stage::text: {
        echo_error error =
            decoder.held.empty() ? echo_error{} : take_carried_line(decoder, {}, out);
        return error ? error : csv_finish(decoder.csv, out, decoder.info, decoder.signs);
    }
    default:
        return {};
    }
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return std::ranges::equal(a, b, {}, lower, lower);
}

}  // namespace

std::optional<capture_format> format_named(std::string_view name)
{
    for (const named_format& known : format_names) {
        if (known.name == name) {
            return known.format;
        }
    }
    return std::nullopt;
}

std::string_view format_name(capture_format format)
{
    for (const named_format& known : format_names) {
        if (known.format == format) {
            return known.name;
        }
    }
    return {};
}

std::string_view format_title(capture_format format)
{
    constexpr std::array<std::string_view, format_names.size()> titles{
        "raw int8",     "raw uint8",           "raw int16",
        "raw float32",  "raw float64",         "csv text",
        "LeCroy trace", "Tektronix save file", "Keysight binary waveform"};
    return titles.at(static_cast<std::size_t>(format));
}

std::optional<capture_format> format_of_path(std::string_view path)
{
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view extension = path.substr(dot + 1);
    for (const named_format& known : format_names) {
        if (equal_ignoring_case(known.name, extension)) {
            return known.format;
        }
    }
    return std::nullopt;
}

std::optional<byte_order> byte_order_named(std::string_view name)
{
    if (name == "little" || name == "big") {
        return name == "little" ? byte_order::little : byte_order::big;
    }
    return std::nullopt;
}

void capture_decoder_free::operator()(capture_decoder* decoder) const
{
    delete decoder;  // NOLINT(cppcoreguidelines-owning-memory): the handle owns it
}

decoder_handle decoder_create(capture_layout layout)
{
    decoder_handle decoder(new capture_decoder);
    decoder->layout = layout;
    if (layout.format) {
        begin_format(*decoder, *layout.format);
    }
    return decoder;
}

echo_error decoder_feed(capture_decoder& decoder, std::span<const char> bytes,
                        std::vector<float>& out)
{
    const std::size_t first_new = out.size();
    echo_error error = feed_bytes(decoder, bytes, out);
    note_samples(decoder, std::span(out).subspan(first_new));
    return error;
}

echo_error decoder_feed_stored(capture_decoder& decoder, std::span<const char> bytes,
                               std::vector<float>& out, stored_samples& stored)
{
    stored = {};
    decoder.stored = &stored;
    decoder.given = bytes;
    echo_error error = decoder_feed(decoder, bytes, out);
    decoder.stored = nullptr;
    decoder.given = {};
    note_stored(decoder, stored);
    return error;
}

echo_error decoder_finish(capture_decoder& decoder, std::vector<float>& out)
{
    const std::size_t first_new = out.size();
    echo_error error;
    if (decoder.at == stage::detect) {
        error = decoder.held.empty() ? echo_error{} : decide_format(decoder, out);
    }
    if (!error) {
        error = end_stage(decoder, out);
    }
    decoder.finished = true;
    note_samples(decoder, std::span(out).subspan(first_new));
    return error;
}

std::int64_t decoder_samples(const capture_decoder& decoder)
{
    return decoder.info.samples;
}

bool decoder_ready(const capture_decoder& decoder)
{
    switch (decoder.at) {
    case stage::detect:
    case stage::header:
        return decoder.finished;
    case stage::skip:
        return decoder.finished || decoder.after_skip != stage::header;
    case stage::text:
        return decoder.finished || decoder.csv.settled;
    default:
        return true;
    }
}

const capture_info& decoder_info(const capture_decoder& decoder)
{
    return decoder.info;
}

capture_signs decoder_signs(const capture_decoder& decoder)
{
    capture_signs signs = decoder.signs;
    if (decoder.value_count <= few_values
        && decoder.info.samples >= std::min(distinct_minimum, distinct_window)) {
        signs.distinct_values = static_cast<std::int64_t>(decoder.value_count);
    }
    return signs;
}

header_step damaged_header(const capture_format format, std::string detail)
{
    return {.what = header_step::kind::failed,
            .error = {.code = echo_errc::damaged_header,
                      .text = std::string(format_title(format)),
                      .detail = std::move(detail)}};
}

}  // namespace keldran::echo
