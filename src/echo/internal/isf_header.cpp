// The Tektronix internal save file: the waveform preamble as the instrument
// answers WFMPRE? (or WFMOUTPRE?), commands separated by ';', then CURVE and
// its samples as one definite-length block, '#', a digit n and n digits of
// length. Keywords may be spelt in full or cut to their short form, in any case.
#include "decode_internal.h"

#include <array>
#include <charconv>
#include <optional>
#include <string>

namespace keldran::echo {

namespace {

// A keyword by its short and its long form: any spelling between them is the keyword.
struct keyword {
    std::string_view shortest;
    std::string_view longest;
};
constexpr keyword byte_count_key{"BYT_N", "BYT_NR"};
constexpr keyword encoding_key{"ENC", "ENCDG"};
constexpr keyword number_format_key{"BN_F", "BN_FMT"};
constexpr keyword byte_order_key{"BYT_O", "BYT_OR"};
constexpr keyword points_key{"NR_P", "NR_PT"};
constexpr keyword point_format_key{"PT_F", "PT_FMT"};
constexpr keyword identity_key{"WFI", "WFID"};
constexpr keyword x_increment_key{"XIN", "XINCR"};
constexpr keyword y_multiplier_key{"YMU", "YMULT"};
constexpr keyword y_offset_key{"YOF", "YOFF"};
constexpr keyword y_zero_key{"YZE", "YZERO"};
constexpr keyword y_unit_key{"YUN", "YUNIT"};

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool spells(std::string_view word, const keyword& key)
{
    if (word.size() < key.shortest.size() || word.size() > key.longest.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (upper(word[i]) != key.longest[i]) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// One command of the preamble, its header path (":WFMPRE:") gone.
struct command {
    std::string_view path;  // what came before the keyword, e.g. ":WFMPRE:"
    std::string_view word;
    std::string_view value;
};

command split_command(std::string_view text)
{
    text = trimmed(text);
    const std::size_t space = std::min(text.find(' '), text.size());
    const std::string_view head = text.substr(0, space);
    const std::size_t colon = head.rfind(':');
    const std::size_t word_at = colon == std::string_view::npos ? 0 : colon + 1;
    std::string_view value = trimmed(text.substr(space));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return {head.substr(0, word_at), head.substr(word_at), value};
}

// The preamble's values as read; a number that is not one stays empty.
struct preamble {
    std::string_view path;
    std::optional<double> byte_count, points, x_increment, y_multiplier, y_offset, y_zero;
    std::string_view encoding = "BIN", number_format = "RI", order = "MSB", point_format = "Y";
    std::string_view identity, y_unit;
};

std::optional<double> number_in(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size() ? std::optional(value)
                                                                    : std::nullopt;
}

void take_command(const command& c, preamble& p)
{
    const std::array<std::pair<const keyword*, std::optional<double>*>, 6> numbers{
        {{&byte_count_key, &p.byte_count},
         {&points_key, &p.points},
         {&x_increment_key, &p.x_increment},
         {&y_multiplier_key, &p.y_multiplier},
         {&y_offset_key, &p.y_offset},
         {&y_zero_key, &p.y_zero}}};
    for (const auto& [key, value] : numbers) {
        if (spells(c.word, *key)) {
            *value = number_in(c.value);
        }
    }
    const std::array<std::pair<const keyword*, std::string_view*>, 6> words{
        {{&encoding_key, &p.encoding},
         {&number_format_key, &p.number_format},
         {&byte_order_key, &p.order},
         {&point_format_key, &p.point_format},
         {&identity_key, &p.identity},
         {&y_unit_key, &p.y_unit}}};
    for (const auto& [key, value] : words) {
        if (spells(c.word, *key)) {
            *value = c.value;
        }
    }
}

preamble read_preamble(std::string_view text)
{
    preamble p;
    bool first = true;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        const command c = split_command(text.substr(start, end - start));
        if (first) {
            p.path = c.path;
            first = false;
        }
        take_command(c, p);
        start = end + 1;
    }
    return p;
}

bool same_word(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return upper(x) == y;
           });
}

// How the samples are stored, from the preamble; nothing when it names no way this reads.
std::optional<sample_plan> stored_as(const preamble& p)
{
    constexpr double two_bytes = 2;
    const bool one_byte = p.byte_count == 1.0;
    constexpr keyword binary{"BIN", "BINARY"};
    if ((!one_byte && p.byte_count != two_bytes) || !spells(p.encoding, binary)
        || !same_word(p.point_format, "Y")) {
        return std::nullopt;
    }
    const bool is_signed = same_word(p.number_format, "RI");
    if (!is_signed && !same_word(p.number_format, "RP")) {
        return std::nullopt;
    }
    sample_plan plan;
    if (one_byte) {
        plan.type = is_signed ? sample_type::i8 : sample_type::u8;
    } else {
        plan.type = is_signed ? sample_type::i16 : sample_type::u16;
    }
    plan.order = same_word(p.order, "LSB") ? byte_order::little : byte_order::big;
    const double multiplier = p.y_multiplier.value_or(1);
    plan.gain = multiplier;
    plan.offset = p.y_zero.value_or(0) - p.y_offset.value_or(0) * multiplier;
    return plan;
}

// Where CURVE's keyword starts in `text`, or npos.
std::size_t curve_at(std::string_view text)
{
    for (std::size_t at = text.find("CURV"); at != std::string_view::npos;
         at = text.find("CURV", at + 1)) {
        if (at == 0 || text[at - 1] == ':' || text[at - 1] == ';') {
            return at;
        }
    }
    return std::string_view::npos;
}

void describe(const preamble& p, const sample_plan& plan, capture_info& info)
{
    constexpr std::int32_t bits_per_byte = 8;
    info.format = capture_format::isf;
    info.version = std::string(p.path);
    info.label = std::string(p.identity);
    info.sample_bits = static_cast<std::int32_t>(sample_width(plan.type)) * bits_per_byte;
    info.gain = plan.gain;
    info.offset = plan.offset;
    info.units = std::string(p.y_unit);
    if (p.x_increment && *p.x_increment > 0) {
        info.sample_interval = *p.x_increment;
    }
    // A count beyond what a double holds exactly is no count of samples.
    constexpr double largest_count = 9007199254740992.0;
    if (p.points && *p.points >= 0 && *p.points <= largest_count) {
        info.declared_samples = static_cast<std::int64_t>(*p.points);
    }
}

}  // namespace

header_step read_isf_header(const header_view& head, const capture_layout& /*layout*/,
                            capture_info& info)
{
    const std::string_view text = head.bytes.substr(0, longest_header);
    const std::size_t curve = curve_at(text);
    const std::size_t hash = curve == std::string_view::npos ? curve : text.find('#', curve);
    if (hash == std::string_view::npos || hash + 2 > text.size()) {
        return {.wanted = text.size() + 1};
    }
    constexpr int most_digits = 9;
    const int digits = text[hash + 1] - '0';
    if (digits < 1 || digits > most_digits) {
        return damaged_header(capture_format::isf,
                              "CURVE's block does not start with '#' and a digit from 1 to 9");
    }
    const std::size_t data_at = hash + 2 + static_cast<std::size_t>(digits);
    if (text.size() < data_at) {
        return {.wanted = data_at};
    }
    // The length is plain digits, at most nine of them.
    const std::string_view length_text = text.substr(hash + 2, data_at - hash - 2);
    std::int64_t length_value = 0;
    const auto [length_end, length_error] =
        std::from_chars(length_text.data(), length_text.data() + length_text.size(), length_value);
    const bool length_read = length_error == std::errc{}
                             && length_end == length_text.data() + length_text.size()
                             && length_value >= 0;
    const preamble p = read_preamble(text.substr(0, curve));
    const std::optional<sample_plan> plan = stored_as(p);
    if (!length_read) {
        return damaged_header(capture_format::isf, "CURVE's block length is not a number");
    }
    if (!plan) {
        return {.what = header_step::kind::failed,
                .error = {.code = echo_errc::unsupported_samples,
                          .text = std::string(format_title(capture_format::isf))}};
    }
    describe(p, *plan, info);
    return {.what = header_step::kind::samples,
            .offset = static_cast<std::int64_t>(data_at),
            .count = length_value / static_cast<std::int64_t>(sample_width(plan->type)),
            .plan = *plan};
}

}  // namespace keldran::echo
