// Where a run's buffers come from: a pair of functions the caller hands in,
// so that a test can make any allocation fail.
#ifndef KELDRAN_BUFFERS_H
#define KELDRAN_BUFFERS_H

#include <cstddef>
#include <cstdint>

namespace keldran {

struct buffer_source {
    // count zero-filled elements, or nullptr when they cannot be had.
    std::int32_t* (*obtain)(std::size_t count, void* context);
    // Gives back a buffer that obtain returned.
    void (*release)(std::int32_t* buffer, void* context);
    void* context;
};

// Buffers from the C heap (calloc and free); failure comes back as nullptr.
buffer_source heap_buffers();

}  // namespace keldran

#endif
