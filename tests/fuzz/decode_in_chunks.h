// What the decoder fuzz targets share: a capture decoded in chunks of a given size, and
// the check that stops a run when a property the decoder promises does not hold.
#ifndef KELDRAN_FUZZ_DECODE_IN_CHUNKS_H
#define KELDRAN_FUZZ_DECODE_IN_CHUNKS_H

#include "capture.h"
#include "errors.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace keldran_fuzz {

inline void require(bool holds, const char* property)
{
    if (!holds) {
        std::fputs("decoder property violated: ", stderr);
        std::fputs(property, stderr);
        std::fputs("\n", stderr);
        std::abort();
    }
}

struct decoded {
    std::vector<float> samples;
    std::string message;  // empty when the capture decoded to its end
    keldran::echo::capture_info info;
    std::int64_t counted = 0;  // the samples the decoder says it gave
};

// Decodes `bytes` in chunks of `chunk` bytes, up to the first fault; `as_stored`, with
// 8-bit samples handed on as stored and made values here.
inline decoded decode(const keldran::echo::capture_layout& layout, std::span<const char> bytes,
                      std::size_t chunk, bool as_stored = false)
{
    using namespace keldran::echo;
    const decoder_handle decoder = decoder_create(layout);
    decoded result;
    for (std::size_t at = 0; at < bytes.size() && result.message.empty(); at += chunk) {
        const std::size_t size = std::min(chunk, bytes.size() - at);
        stored_samples stored;
        result.message =
            error_text(as_stored ? decoder_feed_stored(*decoder, bytes.subspan(at, size),
                                                       result.samples, stored)
                                 : decoder_feed(*decoder, bytes.subspan(at, size), result.samples));
        std::vector<float> values(stored.bytes.size());
        stored_values(stored, 0, values);
        result.samples.insert(result.samples.end(), values.begin(), values.end());
    }
    if (result.message.empty()) {
        result.message = error_text(decoder_finish(*decoder, result.samples));
    }
    result.info = decoder_info(*decoder);
    result.counted = decoder_samples(*decoder);
    return result;
}

}  // namespace keldran_fuzz

#endif
