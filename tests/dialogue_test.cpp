#include "dialogue.h"
#include "order_input.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace {

// A heap that refuses the request numbered fail_at (0 = the first) and keeps
// a log of what it handed out and took back.
struct recording_heap {
    int fail_at = -1;
    int requests = 0;
    std::vector<std::int32_t*> obtained;
    std::vector<std::int32_t*> released;

    static std::int32_t* obtain(std::size_t count, void* context)
    {
        auto& heap = *static_cast<recording_heap*>(context);
        if (heap.requests++ == heap.fail_at) {
            return nullptr;
        }
        auto* buffer = static_cast<std::int32_t*>(std::calloc(count, sizeof(std::int32_t)));
        heap.obtained.push_back(buffer);
        return buffer;
    }

    static void release(std::int32_t* buffer, void* context)
    {
        static_cast<recording_heap*>(context)->released.push_back(buffer);
        std::free(buffer);
    }

    keldran::buffer_source source() { return {obtain, release, this}; }

    std::vector<std::int32_t*> obtained_most_recent_first() const
    {
        return {obtained.rbegin(), obtained.rend()};
    }
};

struct run_result {
    int status;
    std::string out;
    std::string err;
};

run_result run(const std::string& input, recording_heap& heap)
{
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int status = keldran::run_dialogue(in, out, err, heap.source());
    return {status, out.str(), err.str()};
}

class OutOfMemory : public testing::TestWithParam<int> {};

TEST_P(OutOfMemory, ReportsReleasesEarlierBuffersAndLeavesOnlyTheBanner)
{
    recording_heap heap;
    heap.fail_at = GetParam();
    const run_result r = run("9\n", heap);
    EXPECT_EQ(r.status, keldran::exit_failure);
    EXPECT_EQ(r.out, keldran::banner);
    EXPECT_EQ(r.err, std::string(keldran::order_prompt) + keldran::out_of_memory_message);
    EXPECT_EQ(heap.obtained.size(), static_cast<std::size_t>(GetParam()));
    EXPECT_EQ(heap.released, heap.obtained_most_recent_first());
}

INSTANTIATE_TEST_SUITE_P(EachBuffer, OutOfMemory, testing::Values(0, 1, 2));

TEST(Dialogue, ReleasesAllThreeBuffersMostRecentFirstAfterAReport)
{
    recording_heap heap;
    const run_result r = run("4\n", heap);
    EXPECT_EQ(r.status, keldran::exit_complete);
    EXPECT_EQ(heap.obtained.size(), 3U);
    EXPECT_EQ(heap.released, heap.obtained_most_recent_first());
}

TEST(Dialogue, EndOfInputBeforeAnOrderEndsWithItsOwnStatusAndMessage)
{
    recording_heap heap;
    const run_result r = run("1 2 x", heap);
    EXPECT_EQ(r.status, keldran::exit_no_order);
    EXPECT_EQ(r.out, keldran::banner);
    const std::string prompt = keldran::order_prompt;
    EXPECT_EQ(r.err, prompt + prompt + prompt + "\n" + keldran::no_order_message);
    EXPECT_EQ(heap.requests, 0);
}

// Accepts `room` bytes, then fails every write, as a full disk does.
struct full_device : std::streambuf {
    std::streamsize room;

    explicit full_device(std::streamsize bytes) : room(bytes) {}

    std::streamsize xsputn(const char* /*s*/, std::streamsize n) override
    {
        const std::streamsize taken = n < room ? n : room;
        room -= taken;
        return taken;
    }

    int_type overflow(int_type c) override
    {
        return xsputn(nullptr, 1) == 1 ? traits_type::not_eof(c) : traits_type::eof();
    }
};

class WriteFailure : public testing::TestWithParam<std::streamsize> {};

TEST_P(WriteFailure, IsReportedWithFailureStatus)
{
    full_device device(GetParam());
    std::ostream out(&device);
    std::istringstream in("8\n");
    std::ostringstream err;
    recording_heap heap;
    EXPECT_EQ(keldran::run_dialogue(in, out, err, heap.source()), keldran::exit_failure);
    EXPECT_EQ(err.str(), std::string(keldran::order_prompt) + "\n" + keldran::write_error_message);
    EXPECT_EQ(heap.released, heap.obtained_most_recent_first());
}

// Nothing fits, the banner fits, the report breaks off in its first and in a later block.
INSTANTIATE_TEST_SUITE_P(AtVariousPoints, WriteFailure, testing::Values(0, 60, 200, 5000));

}  // namespace
