// Google Benchmark timings of each engine operation at orders 7 and 12, and
// of the whole order-12 report rendered to memory.
#include "dialogue.h"
#include "engine.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <streambuf>
#include <vector>

namespace {

using keldran::sequence_length;

// A maximal polynomial's taps (x^n + x + 1 is maximal for 7, and
// x^12 + x^6 + x^4 + x + 1 for 12) and its sequence, ready for the echo steps.
struct fixture {
    std::vector<std::int32_t> taps;
    std::vector<std::int32_t> seq;
    std::vector<std::int32_t> work;

    explicit fixture(std::int32_t order)
        : taps(static_cast<std::size_t>(order)),
          seq(static_cast<std::size_t>(sequence_length(order))), work(seq.size())
    {
        taps[0] = 1;
        taps[1] = 1;
        if (order == keldran::max_order) {
            taps[4] = 1;
            taps[6] = 1;
        }
        keldran::fill_sequence(seq.data(), taps.data(), order);
    }
};

std::int32_t order_of(const benchmark::State& state)
{
    return static_cast<std::int32_t>(state.range(0));
}

void fill_sequence(benchmark::State& state)
{
    fixture f(order_of(state));
    for (auto _ : state) {
        keldran::fill_sequence(f.seq.data(), f.taps.data(), order_of(state));
        benchmark::DoNotOptimize(f.seq.data());
    }
}

void is_maximal(benchmark::State& state)
{
    fixture f(order_of(state));
    for (auto _ : state) {
        benchmark::DoNotOptimize(keldran::is_maximal(f.seq.data(), order_of(state)));
    }
}

void rotate_xor_in_place(benchmark::State& state)
{
    fixture f(order_of(state));
    for (auto _ : state) {
        keldran::rotate_xor(f.work.data(), f.work.data(), f.seq.data(), 1, order_of(state));
        benchmark::DoNotOptimize(f.work.data());
    }
}

// Searched in the HTS combination, whose run of ones lies somewhere inside.
void find_ones_window(benchmark::State& state)
{
    fixture f(order_of(state));
    keldran::rotate_xor(f.work.data(), f.seq.data(), f.seq.data(), 1, order_of(state));
    for (auto _ : state) {
        benchmark::DoNotOptimize(keldran::find_ones_window(f.work.data(), order_of(state)));
    }
}

void echo_locations(benchmark::State& state)
{
    fixture f(order_of(state));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            keldran::echo_locations(f.seq.data(), f.work.data(), order_of(state)));
    }
}

// A stream buffer over memory obtained once, so that the timing is the
// report's and not that of a growing string.
struct memory_sink : std::streambuf {
    std::vector<char> bytes;
    std::size_t used = 0;

    explicit memory_sink(std::size_t capacity) : bytes(capacity) {}

    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        const auto size = static_cast<std::size_t>(n);
        if (used + size > bytes.size()) {
            return 0;
        }
        std::memcpy(bytes.data() + used, s, size);
        used += size;
        return n;
    }

    int_type overflow(int_type c) override
    {
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
};

void whole_report_order_12(benchmark::State& state)
{
    constexpr std::size_t report_room = std::size_t{2} << 20;
    memory_sink sink(report_room);
    for (auto _ : state) {
        sink.used = 0;
        std::istringstream in("12\n");
        std::ostream out(&sink);
        std::ostringstream err;
        benchmark::DoNotOptimize(keldran::run_dialogue(in, out, err, keldran::heap_buffers()));
        benchmark::DoNotOptimize(sink.bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations())
                            * static_cast<std::int64_t>(sink.used));
}

BENCHMARK(fill_sequence)->Arg(7)->Arg(12);
BENCHMARK(is_maximal)->Arg(7)->Arg(12);
BENCHMARK(rotate_xor_in_place)->Arg(7)->Arg(12);
BENCHMARK(find_ones_window)->Arg(7)->Arg(12);
BENCHMARK(echo_locations)->Arg(7)->Arg(12);
BENCHMARK(whole_report_order_12)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
