// The C heap as a buffer source: calloc reports failure as a null pointer
// instead of throwing, which is what the out-of-memory path needs.
#include "buffers.h"

#include <cstdlib>

namespace keldran {

namespace {

std::int32_t* heap_obtain(std::size_t count, void* /*context*/)
{
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc): the failure must come back as a value
    return static_cast<std::int32_t*>(std::calloc(count, sizeof(std::int32_t)));
}

void heap_release(std::int32_t* buffer, void* /*context*/)
{
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc): the partner of calloc above
    std::free(buffer);
}

}  // namespace

buffer_source heap_buffers()
{
    return {heap_obtain, heap_release, nullptr};
}

}  // namespace keldran
