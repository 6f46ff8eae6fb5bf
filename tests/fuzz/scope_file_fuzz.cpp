// Fuzz target: one oscilloscope file's reader (KELDRAN_FUZZ_FORMAT: trc, isf or bin)
// fed arbitrary bytes, with the format given and found from the content.
//
// Beyond not crashing or allocating by a header's word, the reader must keep the
// decoder's promises: the samples and the message are the same however the bytes
// are cut into chunks; every sample given is finite; and what it says it read is
// what it gave.
//
// Input layout: byte 0 picks the channel (its low two bits), the segment (the next
// two) and, in its high bit, whether the format is found from the content; byte 1
// the chunk size (1 to 256 bytes); the rest is the file.
#include "capture.h"
#include "decode_in_chunks.h"
#include "errors.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace keldran::echo;
using keldran_fuzz::decode;
using keldran_fuzz::decoded;
using keldran_fuzz::require;

constexpr capture_format fuzzed = capture_format::KELDRAN_FUZZ_FORMAT;
constexpr unsigned choice_mask = 0x3U;
constexpr unsigned segment_shift = 2;
constexpr unsigned detect_bit = 0x80U;
constexpr std::size_t header_bytes = 2;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < header_bytes) {
        return 0;
    }
    const std::span<const std::uint8_t> input(data, size);
    capture_layout layout{.format = fuzzed,
                          .channel = input[0] & choice_mask,
                          .segment = (input[0] >> segment_shift) & choice_mask,
                          .hint = fuzzed};
    if ((input[0] & detect_bit) != 0) {
        layout.format = std::nullopt;
    }
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
    require(whole.info.samples == static_cast<std::int64_t>(whole.samples.size()),
            "the count is the samples given");
    require(whole.samples.empty() || whole.info.last == whole.samples.back(),
            "the last value is the last sample given");
    return 0;
}
