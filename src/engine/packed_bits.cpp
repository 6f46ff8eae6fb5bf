// Packed-bit helpers: expansion of bit strings and the run-of-ones search.
#include "packed_bits.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace keldran::packed {

namespace {

// Runs of up to word_bits / 2 ones are checked in at most this many doubling steps.
constexpr std::size_t max_run_steps = 4;

// The shifts that check a run of `run` ones by doubling: after shifting by
// 1, 2, 4, ... (the last one shorter) every window of `run` bits is covered.
// Unused steps shift by 0, which changes nothing, so the loop has a fixed length.
std::array<std::uint32_t, max_run_steps> run_steps(std::int32_t run)
{
    std::array<std::uint32_t, max_run_steps> steps{};
    std::int32_t checked = 1;
    for (std::size_t s = 0; s < max_run_steps && checked < run; ++s) {
        const std::int32_t step = std::min(checked, run - checked);
        steps[s] = static_cast<std::uint32_t>(step);
        checked += step;
    }
    return steps;
}

// Bit i of the result is set when the `run` bits ending at bit i are all set.
std::uint64_t run_ends(std::uint64_t bits, const std::array<std::uint32_t, max_run_steps>& steps)
{
    for (const std::uint32_t step : steps) {
        bits &= bits << step;
    }
    return bits;
}

constexpr std::size_t chunk_bytes = sizeof(std::uint64_t);
constexpr std::size_t chunk_elements = chunk_bytes * byte_bits;

// Spreads the bytes of a loaded chunk, a table row each; the byte positions
// are spelt out so every shift is a constant.
template <std::size_t... byte>
void expand_chunk(std::int32_t* elements, std::uint64_t chunk,
                  std::index_sequence<byte...> /*positions*/)
{
    constexpr std::uint64_t byte_mask = 0xFF;
    (std::memcpy(elements + byte * byte_bits,
                 byte_elements[(chunk >> (byte_bits * byte)) & byte_mask].data(),
                 sizeof(std::int32_t) * byte_bits),
     ...);
}

// The run search over words handed out by word_at(base), base = 0, 32, ...
template <typename word_source>
std::int32_t first_run(word_source word_at, std::size_t count, std::int32_t run,
                       std::int32_t first_start)
{
    // Runs ending in one word may begin in the word before: keep it in the low half.
    std::uint64_t previous = 0;
    const std::array<std::uint32_t, max_run_steps> steps = run_steps(run);
    const auto first_end = static_cast<std::uint32_t>(first_start + run - 1);
    for (std::size_t base = 0; base < count; base += word_bits) {
        const std::uint64_t word = word_at(base);
        auto ends = static_cast<std::uint32_t>(run_ends((word << word_bits) | previous, steps)
                                               >> word_bits);
        if (base == 0) {
            ends &= ~std::uint32_t{0} << first_end;
        }
        if (ends != 0) {
            return static_cast<std::int32_t>(base) + std::countr_zero(ends) - run + 1;
        }
        previous = word;
    }
    return -1;
}

}  // namespace

void expand_bits(std::int32_t* elements, const std::uint8_t* bytes, std::size_t count)
{
    // Eight bytes are loaded at once and spread from a register, a table row each.
    const std::size_t whole_chunks = count / chunk_elements;
    for (std::size_t c = 0; c < whole_chunks; ++c) {
        std::uint64_t chunk = 0;
        std::memcpy(&chunk, bytes + c * chunk_bytes, chunk_bytes);
        expand_chunk(elements + c * chunk_elements, chunk, std::make_index_sequence<chunk_bytes>{});
    }
    // The last element must be the last one written: the caller's buffer ends there.
    for (std::size_t e = whole_chunks * chunk_elements; e < count; e += byte_bits) {
        const std::size_t size = std::min(byte_bits, count - e);
        std::memcpy(elements + e, byte_elements[bytes[e / byte_bits]].data(),
                    sizeof(std::int32_t) * size);
    }
}

void pack_elements(std::uint32_t* words, const std::int32_t* elements, std::size_t count)
{
    const std::size_t whole_words = count / word_bits;
    for (std::size_t w = 0; w < whole_words; ++w) {
        words[w] = pack_word(elements + w * word_bits, word_bits);
    }
    if (count % word_bits != 0) {
        words[whole_words] = pack_word(elements + whole_words * word_bits, count % word_bits);
    }
}

std::int32_t first_run_of_ones(const std::int32_t* elements, std::size_t count, std::int32_t run,
                               std::int32_t first_start)
{
    // Packing word by word lets the search stop early without packing the rest.
    return first_run(
        [elements, count](std::size_t base) {
            // A constant count lets the whole-word case become straight vector code.
            return count - base >= word_bits ? pack_word(elements + base, word_bits)
                                             : pack_word(elements + base, count - base);
        },
        count, run, first_start);
}

std::int32_t first_run_in_words(const std::uint32_t* words, std::size_t count, std::int32_t run,
                                std::int32_t first_start)
{
    return first_run([words](std::size_t base) { return words[base / word_bits]; }, count, run,
                     first_start);
}

}  // namespace keldran::packed
