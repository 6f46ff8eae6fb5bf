// Fuzz target: the engine operations fed an arbitrary order 3 ... 12 and arbitrary 0/1 buffers.
//
// Each operation is held against a plain transcription of what it promises, written here for
// clarity rather than speed, over buffers of exactly the documented size (so the address
// sanitizer sees any access past them).
//
// Input layout: byte 0 picks the order, bytes 1-4 a position p (little-endian), and the bits of
// the remaining bytes, repeated as often as needed, fill the taps and two buffers a and b.
#include "engine.h"
#include "reference.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using keldran::sequence_length;
using buffer = std::vector<std::int32_t>;

constexpr std::size_t order_byte = 0;
constexpr std::size_t position_bytes = 4;
constexpr std::size_t bits_start = 1 + position_bytes;
constexpr std::size_t bits_per_byte = 8;
constexpr std::int32_t order_count = keldran::max_order - keldran::min_order + 1;
constexpr std::int32_t unwritten = 2;  // neither 0 nor 1

void require(bool holds, const char* property)
{
    if (!holds) {
        std::fputs("engine property violated: ", stderr);
        std::fputs(property, stderr);
        std::fputs("\n", stderr);
        std::abort();
    }
}

std::size_t size_of(std::int32_t order)
{
    return static_cast<std::size_t>(sequence_length(order));
}

// The bits after the header, read cyclically; all zero when there are none.
class bit_stream {
public:
    explicit bit_stream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    buffer take(std::size_t count)
    {
        buffer values(count);
        for (std::int32_t& v : values) {
            v = next();
        }
        return values;
    }

private:
    std::int32_t next()
    {
        if (bytes_.empty()) {
            return 0;
        }
        const std::size_t bit = taken_++ % (bytes_.size() * bits_per_byte);
        return (bytes_[bit / bits_per_byte] >> (bit % bits_per_byte)) & 1;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t taken_ = 0;
};

std::int32_t read_position(std::span<const std::uint8_t> data)
{
    std::uint32_t p = 0;
    for (std::size_t i = 0; i < position_bytes && 1 + i < data.size(); ++i) {
        p |= std::uint32_t{data[1 + i]} << (bits_per_byte * i);
    }
    return static_cast<std::int32_t>(p);
}

// --- Plain transcriptions ---------------------------------------------------------------------

// Steps the register, held as a bit mask of its state, until the all-ones state comes back.
// Only for taps[0] = 1, where every state lies on a cycle.
std::int32_t all_ones_period(const buffer& taps, std::int32_t order)
{
    std::uint32_t tap_mask = 0;
    for (std::size_t j = 0; j < taps.size(); ++j) {
        tap_mask |= static_cast<std::uint32_t>(taps[j]) << j;
    }
    const std::uint32_t all_ones = (std::uint32_t{1} << order) - 1;
    std::uint32_t state = all_ones;
    std::int32_t steps = 0;
    do {
        const std::uint32_t feedback =
            static_cast<std::uint32_t>(__builtin_parity(state & tap_mask));
        state = (state >> 1U) | (feedback << static_cast<std::uint32_t>(order - 1));
        ++steps;
    } while (state != all_ones);
    return steps;
}

std::int32_t direct_center(std::int32_t p, std::int32_t seq_len)
{
    return p > (seq_len - 1) / 2 ? p - seq_len : p;
}

// work[i] = s[i] XOR s[i + a] XOR s[i + b] ... with indices taken mod L.
buffer direct_combination(const buffer& s, std::span<const std::size_t> shifts)
{
    buffer w(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        w[i] = s[i];
        for (const std::size_t shift : shifts) {
            w[i] ^= s[(i + shift) % s.size()];
        }
    }
    return w;
}

double direct_echo(const buffer& w, std::int32_t order, std::int32_t offset)
{
    const std::int32_t p = reference::find_ones_window(w, order) + offset;
    return direct_center(p, sequence_length(order)) + 0.5;
}

// --- Checks -----------------------------------------------------------------------------------

buffer check_fill_sequence(const buffer& taps, std::int32_t order)
{
    buffer seq(size_of(order), unwritten);
    keldran::fill_sequence(seq.data(), taps.data(), order);
    require(seq == reference::fill_sequence(taps),
            "fill_sequence writes all L elements by the recurrence from all ones");
    return seq;
}

void check_is_maximal(const buffer& seq, const buffer& taps, std::int32_t order)
{
    const std::int32_t maximal = keldran::is_maximal(seq.data(), order);
    require(maximal == reference::is_maximal(seq, order),
            "is_maximal is 1 exactly when no window 1 ... L - n is all ones");
    if (taps[0] == 1) {
        require((maximal == 1) == (all_ones_period(taps, order) == sequence_length(order)),
                "with taps[0] = 1, is_maximal tells a register of full period");
    }
}

void check_rotate_xor(const buffer& src, const buffer& other, std::int32_t order)
{
    const std::size_t length = src.size();
    for (const std::int32_t shift : {1, 2}) {
        buffer expected(length);
        for (std::size_t i = 0; i < length; ++i) {
            expected[i] = src[(i + static_cast<std::size_t>(shift)) % length] ^ other[i];
        }
        buffer dst(length, unwritten);
        keldran::rotate_xor(dst.data(), src.data(), other.data(), shift, order);
        require(dst == expected, "rotate_xor into its own buffer follows the formula");

        buffer in_place = src;
        keldran::rotate_xor(in_place.data(), in_place.data(), other.data(), shift, order);
        require(in_place == expected, "rotate_xor over its source follows the formula");

        buffer self_expected(length);
        for (std::size_t i = 0; i < length; ++i) {
            self_expected[i] = src[(i + static_cast<std::size_t>(shift)) % length] ^ src[i];
        }
        buffer self(length, unwritten);
        keldran::rotate_xor(self.data(), src.data(), src.data(), shift, order);
        require(self == self_expected, "rotate_xor with other = src follows the formula");
    }
}

void check_find_ones_window(const buffer& w, std::int32_t order)
{
    require(keldran::find_ones_window(w.data(), order) == reference::find_ones_window(w, order),
            "find_ones_window gives the first all-ones window, or 0");
}

void check_center_position(std::int32_t p, std::int32_t order)
{
    const std::int32_t seq_len = sequence_length(order);
    const std::int32_t centred = keldran::center_position(p, seq_len);
    require(centred == direct_center(p, seq_len), "center_position follows the formula");
    if (p >= 0 && p < seq_len) {
        const std::int32_t half = (seq_len - 1) / 2;
        require(centred >= -half && centred <= half, "a centred position lies within half");
        require(centred == p || centred == p - seq_len, "centring moves by a whole period");
    }
}

void check_echo_locations(const buffer& seq, const buffer& work_start, std::int32_t order)
{
    constexpr std::array<std::size_t, 1> hts{1};
    constexpr std::array<std::size_t, 2> nlts{1, 2};
    constexpr std::array<std::size_t, 2> second{2, 3};
    constexpr std::array<std::size_t, 1> interaction{2};
    buffer work = work_start;
    const keldran::echo_set echoes = keldran::echo_locations(seq.data(), work.data(), order);
    require(echoes.hts == direct_echo(direct_combination(seq, hts), order, 0), "HTS echo");
    require(echoes.nlts == direct_echo(direct_combination(seq, nlts), order, 1), "NLTS echo");
    require(echoes.second_adjacent == direct_echo(direct_combination(seq, second), order, 2),
            "second adjacent echo");
    require(echoes.interaction == direct_echo(direct_combination(seq, interaction), order, 1),
            "interaction echo");
    require(work == direct_combination(seq, interaction),
            "echo_locations leaves s[i] XOR s[i+2] in work");
    const std::int32_t half = (sequence_length(order) - 1) / 2;
    for (const double location :
         {echoes.hts, echoes.nlts, echoes.second_adjacent, echoes.interaction}) {
        require(location >= -half + 0.5 && location <= half + 0.5,
                "an echo location lies within half a period, plus one half");
        require(location - std::floor(location) == 0.5, "an echo location ends in .5");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::span<const std::uint8_t> data(bytes, size);
    const std::int32_t order =
        keldran::min_order + (data.empty() ? 0 : data[order_byte] % order_count);
    bit_stream bits(data.size() > bits_start ? data.subspan(bits_start)
                                             : std::span<const std::uint8_t>());
    const buffer taps = bits.take(static_cast<std::size_t>(order));
    const buffer a = bits.take(size_of(order));
    const buffer b = bits.take(size_of(order));

    const buffer seq = check_fill_sequence(taps, order);
    check_is_maximal(seq, taps, order);
    check_rotate_xor(a, b, order);
    check_find_ones_window(a, order);
    check_find_ones_window(seq, order);
    check_center_position(read_position(data), order);
    if (taps[0] == 1 && keldran::is_maximal(seq.data(), order) == 1) {
        check_echo_locations(seq, b, order);
    }
    return 0;
}
