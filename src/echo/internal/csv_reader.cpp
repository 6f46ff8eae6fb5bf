// Text captures, a line at a time. Numbers are parsed without the locale, so
// that one capture gives the same samples on every machine. What the columns
// are is only known from the first data lines, so those are held back, as
// text, and read by the same rules as every later line once it is known.
#include "csv_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>

namespace keldran::echo {

namespace {

constexpr std::string_view blanks = " \t\r";
constexpr std::size_t npos = std::string_view::npos;
// The first column is time when every step between its values lies within this
// fraction of their mean step.
constexpr double step_tolerance = 0.1;
// Decimal commas are suspected once one data line in this many looks cut at one.
constexpr std::int64_t lines_per_cut_line = 10;
// Lines held back, in characters, after which the columns are settled early:
// a few thousand lines of many columns would otherwise take hundreds of megabytes.
constexpr std::size_t held_characters = std::size_t{1} << 22;

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A field as its number or name is written: without blanks and surrounding double quotes.
std::string_view unquoted(std::string_view field)
{
    const std::string_view text = trimmed(field);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return trimmed(text.substr(1, text.size() - 2));
    }
    return text;
}

// The number that `text` holds whole: decimal or exponent form, with an optional sign.
// A magnitude beyond a double's range counts as infinite, one below it as zero.
std::optional<double> number_in(std::string_view text)
{
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return std::nullopt;
        }
    }
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (stop != end || (error != std::errc{} && error != std::errc::result_out_of_range)) {
        return std::nullopt;
    }
    if (error == std::errc{}) {
        return value;
    }
    // Out of range: a magnitude too small for a double is zero, one too large infinite.
    const std::size_t exponent = text.find_first_of("eE");
    const bool tiny = exponent != npos && exponent + 1 < text.size() && text[exponent + 1] == '-';
    return tiny ? 0.0 : std::numeric_limits<double>::infinity();
}

// The number in an unquoted field. from_chars knows only the point, so with
// decimal commas the field is copied into `scratch` with its comma made one.
std::optional<double> field_number(std::string_view text, const bool decimal_comma,
                                   std::string& scratch)
{
    if (!decimal_comma || text.find(',') == npos) {
        return number_in(text);
    }
    scratch.assign(text);
    std::ranges::replace(scratch, ',', '.');
    return number_in(scratch);
}

// The separator a data line shows: ';' wherever there is one (',' is then a
// decimal comma), else a tab, else ','.
char separator_of(std::string_view line)
{
    const std::string_view text = trimmed(line);
    if (text.find(';') != npos) {
        return ';';
    }
    return text.find('\t') != npos ? '\t' : ',';
}

// The line without its line end and the empty fields some instruments end every line with.
std::string_view filled(std::string_view line, const char separator)
{
    std::size_t end = line.size();
    while (end > 0 && (line[end - 1] == separator || blanks.find(line[end - 1]) != npos)) {
        --end;
    }
    return line.substr(0, end);
}

std::int64_t field_count(std::string_view line, const char separator)
{
    return 1 + std::ranges::count(line, separator);
}

std::string_view first_field(std::string_view line, const char separator)
{
    return line.substr(0, line.find(separator));
}

// Field `index` (from 0) of `line`, or nothing when the line has fewer.
std::optional<std::string_view> field_at(std::string_view line, const char separator,
                                         const std::int64_t index)
{
    std::size_t start = 0;
    for (std::int64_t i = 0; i < index; ++i) {
        const std::size_t stop = line.find(separator, start);
        if (stop == npos) {
            return std::nullopt;
        }
        start = stop + 1;
    }
    return first_field(line.substr(start), separator);
}

// Calls `visit` with each field of `line` in turn.
template <typename Visit>
void for_each_field(std::string_view line, const char separator, Visit visit)
{
    std::size_t start = 0;
    for (std::size_t stop = line.find(separator); stop != npos;
         stop = line.find(separator, start)) {
        visit(line.substr(start, stop - start));
        start = stop + 1;
    }
    visit(line.substr(start));
}

// Whether `line` holds a number and nothing else in its fields (some may be empty).
bool holds_only_numbers(std::string_view line, const char separator, const bool decimal_comma,
                        std::string& scratch)
{
    bool any = false;
    bool numbers = true;
    for_each_field(line, separator, [&](std::string_view field) {
        const std::string_view text = unquoted(field);
        if (!text.empty()) {
            any = true;
            numbers = numbers && field_number(text, decimal_comma, scratch).has_value();
        }
    });
    return any && numbers;
}

char lowered(const char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool contains_ignoring_case(std::string_view text, std::string_view word)
{
    const auto same = [](const char a, const char b) { return lowered(a) == lowered(b); };
    return std::search(text.begin(), text.end(), word.begin(), word.end(), same) != text.end();
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, {}, lowered, lowered);
}

// Whether a column's name in the header says it holds time: "TIME", "Time (s)",
// "X-Axis", or a units line's "s".
bool names_time(std::string_view name)
{
    return contains_ignoring_case(name, "time") || contains_ignoring_case(name, "x-axis")
           || equal_ignoring_case(name, "s") || equal_ignoring_case(name, "second");
}

// Takes `line` as the first data line when its fields are all numbers: it fixes the
// separator and the columns, and makes the line before it the one that names them.
bool begins_data(csv_reader& reader, std::string_view line)
{
    const char separator = separator_of(line);
    const bool decimal_comma = separator != ',';
    const std::string_view data = filled(line, separator);
    if (!holds_only_numbers(data, separator, decimal_comma, reader.scratch)) {
        return false;
    }
    reader.separator = separator;
    reader.decimal_comma = decimal_comma;
    reader.columns = field_count(data, separator);
    reader.time_named =
        names_time(unquoted(first_field(filled(reader.last_header, separator), separator)));
    reader.last_header = std::string();
    return true;
}

void note_time(csv_time_steps& steps, const std::optional<double> time)
{
    if (!steps.numbers) {
        return;
    }
    if (!time || !std::isfinite(*time)) {
        steps.numbers = false;
        return;
    }
    const double step = *time - steps.last;
    if (steps.lines == 0) {
        steps.first = *time;
    } else if (steps.lines == 1) {
        steps.smallest = step;
        steps.largest = step;
    } else {
        steps.smallest = std::min(steps.smallest, step);
        steps.largest = std::max(steps.largest, step);
    }
    steps.last = *time;
    ++steps.lines;
}

// The mean step of the first column where it has one that time could take.
std::optional<double> mean_step(const csv_time_steps& steps)
{
    if (!steps.numbers || steps.lines < 2) {
        return std::nullopt;
    }
    const double mean = (steps.last - steps.first) / static_cast<double>(steps.lines - 1);
    if (!std::isfinite(mean) || mean <= 0) {
        return std::nullopt;
    }
    return mean;
}

bool steps_evenly(const csv_time_steps& steps)
{
    const std::optional<double> mean = mean_step(steps);
    return mean && steps.smallest >= (1 - step_tolerance) * *mean
           && steps.largest <= (1 + step_tolerance) * *mean;
}

// An all-digit field with a leading zero, like the "016" that "0,016" leaves with ','
// as the separator.
bool looks_cut(std::string_view text)
{
    return text.size() > 1 && text.front() == '0'
           && std::ranges::all_of(text, [](const char c) { return c >= '0' && c <= '9'; });
}

// Counts the data line `line` and whether it looks cut at a decimal comma: a field
// like "016", or a field count other than the line before's.
// Whether a ',' line reads as numbers with decimal commas: two or more fields, no
// decimal point or exponent anywhere, and digits alone after each comma ("-0,25").
bool whole_after_commas(std::string_view line)
{
    if (line.find_first_of(".eE") != npos || line.find(',') == npos) {
        return false;
    }
    bool first = true;
    bool digits_only = true;
    for_each_field(line, ',', [&](std::string_view field) {
        const std::string_view text = unquoted(field);
        if (!first) {
            digits_only = digits_only && !text.empty()
                          && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
        }
        first = false;
    });
    return digits_only;
}

void note_signs(csv_reader& reader, std::string_view line, capture_signs& signs)
{
    ++reader.data_lines;
    if (reader.separator == ',') {
        bool cut = false;
        for_each_field(line, ',',
                       [&](std::string_view field) { cut = cut || looks_cut(unquoted(field)); });
        const std::int64_t fields = field_count(line, ',');
        cut = cut || (reader.data_lines > 1 && fields != reader.previous_fields);
        reader.previous_fields = fields;
        reader.cut_lines += cut ? 1 : 0;
        reader.whole_after_commas += whole_after_commas(line) ? 1 : 0;
    }
    // Nearly every line of numbers split so: the commas were decimal ones, unless
    // the first column is a clock or a count, when they part whole numbers.
    const bool clock_first =
        reader.settled ? reader.time_column : reader.time_named || steps_evenly(reader.steps);
    const bool all_whole = !clock_first
                           && reader.whole_after_commas * lines_per_cut_line
                                  >= reader.data_lines * (lines_per_cut_line - 1);
    signs.decimal_commas =
        (reader.cut_lines > 0 && reader.cut_lines * lines_per_cut_line >= reader.data_lines)
        || (reader.whole_after_commas > 0 && all_whole);
}

// The field that holds the line's sample, or nothing when the line has none.
std::optional<std::string_view> chosen_field(const csv_reader& reader, std::string_view line)
{
    if (reader.column >= 0) {
        return field_at(line, reader.separator, reader.column);
    }
    const std::size_t last = line.rfind(reader.separator);
    if (last == npos) {
        // A line of one field holds only its time, when there is a time column.
        return reader.time_column ? std::nullopt : std::optional(line);
    }
    return line.substr(last + 1);
}

// Appends the sample of data line `line` (without its trailing empty fields).
echo_error take_sample(csv_reader& reader, std::string_view line, const std::int64_t number,
                       std::vector<float>& out)
{
    const std::optional<std::string_view> field = chosen_field(reader, line);
    if (!field) {
        // The line stops before the column read: it is quoted whole.
        return {.code = echo_errc::line_not_a_number,
                .index = number,
                .text = std::string(unquoted(line))};
    }
    const std::string_view text = unquoted(*field);
    const std::optional<double> value = field_number(text, reader.decimal_comma, reader.scratch);
    if (!value) {
        return {.code = echo_errc::line_not_a_number, .index = number, .text = std::string(text)};
    }
    if (!std::isfinite(*value) || std::abs(*value) > std::numeric_limits<float>::max()) {
        return {.code = echo_errc::line_not_finite, .index = number, .text = std::string(text)};
    }
    out.push_back(static_cast<float>(*value));
    return {};
}

// Appends the samples of the lines held back, in order, up to the first fault.
echo_error take_held(csv_reader& reader, std::vector<float>& out)
{
    const std::string_view text = reader.held_text;
    std::size_t start = 0;
    echo_error fault;
    for (const csv_held_line& line : reader.held) {
        fault = take_sample(reader, text.substr(start, line.end - start), line.number, out);
        if (fault) {
            break;
        }
        start = line.end;
    }
    reader.held_text = std::string();
    reader.held = std::vector<csv_held_line>();
    return fault;
}

// Decides the columns on the lines held back, then takes their samples.
echo_error settle(csv_reader& reader, std::vector<float>& out, capture_info& info)
{
    reader.settled = true;
    // A single column is the signal, whatever its values.
    reader.time_column = reader.columns > 1 && (reader.time_named || steps_evenly(reader.steps));
    const std::int64_t time_columns = reader.time_column ? 1 : 0;
    info.channels = reader.columns - time_columns;
    // A column counting samples (0, 1, 2, ...) is no clock: it states no interval.
    const std::optional<double> step = mean_step(reader.steps);
    if (reader.time_column && step
        && !(*step == 1 && reader.steps.first == std::floor(reader.steps.first))) {
        info.sample_interval = *step;
    }
    if (reader.channel < 0 || reader.channel > info.channels) {
        return {
            .code = echo_errc::no_such_channel, .count = info.channels, .value = reader.channel};
    }
    reader.column = reader.channel == 0 ? -1 : reader.channel - 1 + time_columns;
    info.channel = reader.channel == 0 ? info.channels : reader.channel;
    return take_held(reader, out);
}

echo_error hold(csv_reader& reader, std::string_view line, const std::int64_t number,
                std::vector<float>& out, capture_info& info)
{
    const std::string_view time = unquoted(first_field(line, reader.separator));
    note_time(reader.steps, field_number(time, reader.decimal_comma, reader.scratch));
    reader.held_text += line;
    reader.held.push_back({.number = number, .end = reader.held_text.size()});
    if (reader.held.size() < static_cast<std::size_t>(csv_settling_lines)
        && reader.held_text.size() < held_characters) {
        return {};
    }
    return settle(reader, out, info);
}

}  // namespace

csv_reader csv_create(const std::int64_t channel)
{
    csv_reader reader;
    reader.channel = channel;
    return reader;
}

echo_error csv_take_line(csv_reader& reader, std::string_view line, const std::int64_t number,
                         std::vector<float>& out, capture_info& info, capture_signs& signs)
{
    if (reader.separator == 0 && !begins_data(reader, line)) {
        if (!filled(line, separator_of(line)).empty()) {
            reader.last_header.assign(line);
        }
        return {};
    }
    const std::string_view data = filled(line, reader.separator);
    if (data.empty()) {
        return {};
    }
    note_signs(reader, data, signs);
    if (!reader.settled) {
        return hold(reader, data, number, out, info);
    }
    return take_sample(reader, data, number, out);
}

// The signs are final once the last line is taken.
echo_error csv_finish(csv_reader& reader, std::vector<float>& out, capture_info& info,
                      capture_signs& /*signs*/)
{
    if (reader.settled) {
        return {};
    }
    if (reader.separator == 0) {
        // Header lines only: there are no columns to settle, and no samples.
        reader.settled = true;
        return {};
    }
    return settle(reader, out, info);
}

}  // namespace keldran::echo
