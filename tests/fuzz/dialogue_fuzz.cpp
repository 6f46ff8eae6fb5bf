// Fuzz target: the order reader and the whole dialogue fed an arbitrary byte stream.
//
// Beyond not crashing, every input must leave the dialogue keeping its promises: it ends; the
// banner is written before anything is read; each prompt is followed by consuming at least one
// byte or by the end of input; an accepted order is in 3 ... 12, stands as the last number read
// and nothing after it is consumed; and the report equals the one for that order typed alone.
#include "buffers.h"
#include "dialogue.h"
#include "engine.h"
#include "order_input.h"
#include "report.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <optional>
#include <ostream>
#include <span>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace {

void require(bool holds, const char* property)
{
    if (!holds) {
        std::fputs("dialogue property violated: ", stderr);
        std::fputs(property, stderr);
        std::fputs("\n", stderr);
        std::abort();
    }
}

// Hands out the input one byte at a time with no buffer of its own, as an unbuffered standard
// input does, so that position() is exactly the number of bytes the reader has consumed.
class byte_source : public std::streambuf {
public:
    explicit byte_source(std::span<const std::uint8_t> data) : data_(data) {}

    [[nodiscard]] std::size_t position() const { return next_; }

protected:
    int_type underflow() override
    {
        if (next_ == data_.size()) {
            return traits_type::eof();
        }
        return traits_type::to_int_type(static_cast<char>(data_[next_]));
    }

    int_type uflow() override
    {
        const int_type c = underflow();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            ++next_;
        }
        return c;
    }

    // Putting back the byte just taken is allowed, as ungetc allows it on standard input.
    int_type pbackfail(int_type c) override
    {
        if (next_ == 0) {
            return traits_type::eof();
        }
        --next_;
        return traits_type::not_eof(c);
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t next_ = 0;
};

// One write to a recording sink: where the text stood after it, and how much input had been
// consumed when it came.
struct write_mark {
    std::size_t text_end;
    std::size_t consumed;
};

// Collects what is written and marks every write with the input consumed by then.
class recording_sink : public std::streambuf {
public:
    explicit recording_sink(const byte_source& input) : input_(input) {}

    [[nodiscard]] const std::string& text() const { return text_; }
    [[nodiscard]] const std::vector<write_mark>& writes() const { return writes_; }

    // Input consumed when the byte at `offset` of the text was written.
    [[nodiscard]] std::size_t consumed_when_written(std::size_t offset) const
    {
        const auto mark =
            std::upper_bound(writes_.begin(), writes_.end(), offset,
                             [](std::size_t at, const write_mark& m) { return at < m.text_end; });
        require(mark != writes_.end(), "every byte of the text comes from a recorded write");
        return mark->consumed;
    }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        text_.append(s, static_cast<std::size_t>(n));
        writes_.push_back({text_.size(), input_.position()});
        return n;
    }

    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }

private:
    const byte_source& input_;
    std::string text_;
    std::vector<write_mark> writes_;
};

bool is_digit(std::uint8_t c)
{
    return c >= '0' && c <= '9';
}

// The order as it stands in the consumed input: the digits just before `end`, read directly.
// Empty when they do not form a number in 3 ... 12 or carry a minus sign.
std::optional<std::int32_t> order_ending_at(std::span<const std::uint8_t> data, std::size_t end)
{
    std::size_t begin = end;
    while (begin > 0 && is_digit(data[begin - 1])) {
        --begin;
    }
    if (begin == end || (begin > 0 && data[begin - 1] == '-')) {
        return std::nullopt;
    }
    std::size_t first = begin;
    while (first + 1 < end && data[first] == '0') {
        ++first;
    }
    const std::string digits(data.begin() + static_cast<std::ptrdiff_t>(first),
                             data.begin() + static_cast<std::ptrdiff_t>(end));
    for (std::int32_t order = keldran::min_order; order <= keldran::max_order; ++order) {
        if (digits == std::to_string(order)) {
            return order;
        }
    }
    return std::nullopt;
}

// The standard output for an order typed alone, made once per order.
const std::string& report_for(std::int32_t order)
{
    static std::array<std::string, keldran::max_order + 1> reports;
    std::string& report = reports.at(static_cast<std::size_t>(order));
    if (report.empty()) {
        std::istringstream in(std::to_string(order));
        std::ostringstream out;
        std::ostringstream err;
        const int status = keldran::run_dialogue(in, out, err, keldran::heap_buffers());
        require(status == keldran::exit_complete, "an order typed alone gives a report");
        report = out.str();
        const std::string length_line =
            "Sequence length is : " + std::to_string(keldran::sequence_length(order)) + "\n";
        require(report.starts_with(keldran::banner + length_line),
                "a report starts with the banner and its length line");
    }
    return report;
}

// Input consumed when each prompt was written; the text after the last prompt goes to tail.
std::vector<std::size_t> prompt_marks(const recording_sink& err, std::string_view& tail)
{
    const std::string_view prompt = keldran::order_prompt;
    std::string_view text = err.text();
    std::vector<std::size_t> marks;
    while (text.starts_with(prompt)) {
        marks.push_back(err.consumed_when_written(err.text().size() - text.size()));
        text.remove_prefix(prompt.size());
    }
    tail = text;
    return marks;
}

void check_prompts(const std::vector<std::size_t>& marks, std::size_t consumed,
                   std::size_t input_size)
{
    require(!marks.empty() && marks.front() == 0, "the first prompt comes before any reading");
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const std::size_t next = i + 1 < marks.size() ? marks[i + 1] : consumed;
        const bool ended = i + 1 == marks.size() && consumed == input_size;
        require(next > marks[i] || ended,
                "each prompt is followed by consuming a byte or by the end of input");
    }
}

// The banner is written before any reading, and the report only after the last byte read.
void check_writes_to_out(const recording_sink& out, std::size_t consumed)
{
    const std::size_t banner_size = std::string_view(keldran::banner).size();
    for (const write_mark& mark : out.writes()) {
        const std::size_t expected = mark.text_end <= banner_size ? 0 : consumed;
        require(mark.consumed == expected,
                "the banner comes before reading and the report after the last byte read");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::span<const std::uint8_t> data(bytes, size);
    byte_source input(data);
    recording_sink out_sink(input);
    recording_sink err_sink(input);
    std::istream in(&input);
    std::ostream out(&out_sink);
    std::ostream err(&err_sink);

    const int status = keldran::run_dialogue(in, out, err, keldran::heap_buffers());
    const std::size_t consumed = input.position();

    std::string_view tail;
    const std::vector<std::size_t> marks = prompt_marks(err_sink, tail);
    check_prompts(marks, consumed, size);
    check_writes_to_out(out_sink, consumed);

    if (status == keldran::exit_no_order) {
        require(consumed == size, "the dialogue gives up only at the end of input");
        require(out_sink.text() == keldran::banner, "without an order only the banner is written");
        require(tail == std::string("\n") + keldran::no_order_message,
                "the end of input is told on a line of its own");
        return 0;
    }
    require(status == keldran::exit_complete, "the dialogue ends complete or without an order");
    require(tail.empty(), "nothing but prompts goes to err in a complete run");
    const std::optional<std::int32_t> order = order_ending_at(data, consumed);
    require(order.has_value(), "the last bytes read are an order in 3 ... 12");
    require(consumed == size || !is_digit(data[consumed]),
            "the byte that ended the order is left unread");
    require(out_sink.text() == report_for(*order),
            "the report equals the report for the order typed alone");
    return 0;
}
