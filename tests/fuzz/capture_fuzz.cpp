// Fuzz target: the capture decoder fed arbitrary bytes in every layout.
//
// Beyond not crashing, the decoder must keep its promises: the samples and the message are the
// same however the bytes are cut into chunks; every sample given is finite; and the count of
// samples it reports is the count it gave.
//
// Input layout: byte 0 picks the format (its low four bits modulo the six formats, and one
// more for a format found from the content), the csv channel (bits 4 and 5) and, in its high
// bit, the byte order; byte 1 the chunk size (1 to 256 bytes); the rest is the capture.
#include "capture.h"
#include "decode_in_chunks.h"
#include "errors.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace keldran::echo;
using keldran_fuzz::decode;
using keldran_fuzz::decoded;
using keldran_fuzz::require;

constexpr std::array<capture_format, 6> formats{capture_format::i8,  capture_format::u8,
                                                capture_format::i16, capture_format::f32,
                                                capture_format::f64, capture_format::csv};
constexpr unsigned format_bits = 0x0FU;
constexpr unsigned channel_shift = 4;
constexpr unsigned channel_mask = 0x3U;
constexpr unsigned big_endian_bit = 0x80U;
constexpr std::size_t header_bytes = 2;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < header_bytes) {
        return 0;
    }
    const std::span<const std::uint8_t> input(data, size);
    const std::size_t choice = (input[0] & format_bits) % (formats.size() + 1);
    const capture_layout layout{
        .format = choice < formats.size() ? std::optional(formats.at(choice)) : std::nullopt,
        .order = (input[0] & big_endian_bit) != 0 ? byte_order::big : byte_order::little,
        .channel = (input[0] >> channel_shift) & channel_mask};
    const std::size_t chunk = std::size_t{input[1]} + 1;
    const std::vector<char> bytes(input.begin() + header_bytes, input.end());
    const decoded whole = decode(layout, bytes, std::max<std::size_t>(bytes.size(), 1));
    const decoded cut = decode(layout, bytes, chunk);
    const decoded stored = decode(layout, bytes, chunk, true);
    require(stored.samples == whole.samples && stored.message == whole.message
                && stored.info.first == whole.info.first && stored.info.last == whole.info.last
                && stored.counted == whole.counted,
            "8-bit samples handed on as stored are the samples");
    require(cut.samples == whole.samples, "the samples do not depend on the chunks");
    require(cut.message == whole.message, "the message does not depend on the chunks");
    require(std::all_of(whole.samples.begin(), whole.samples.end(),
                        [](float x) { return std::isfinite(x); }),
            "every sample given is finite");
    require(whole.counted == static_cast<std::int64_t>(whole.samples.size()),
            "the count is the samples given");
    return 0;
}
