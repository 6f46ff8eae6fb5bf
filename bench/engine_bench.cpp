// Google Benchmark timings of each engine operation at orders 7 and 12, and
// of the whole order-12 report rendered to memory.
#include "dialogue.h"
#include "engine.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <sstream>
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

void find_ones_window(benchmark::State& state)
{
    fixture f(order_of(state));
    for (auto _ : state) {
        benchmark::DoNotOptimize(keldran::find_ones_window(f.seq.data(), order_of(state)));
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

void whole_report_order_12(benchmark::State& state)
{
    for (auto _ : state) {
        std::istringstream in("12\n");
        std::ostringstream out;
        std::ostringstream err;
        benchmark::DoNotOptimize(keldran::run_dialogue(in, out, err, keldran::heap_buffers()));
        benchmark::DoNotOptimize(out.str().size());
    }
}

BENCHMARK(fill_sequence)->Arg(7)->Arg(12);
BENCHMARK(is_maximal)->Arg(7)->Arg(12);
BENCHMARK(rotate_xor_in_place)->Arg(7)->Arg(12);
BENCHMARK(find_ones_window)->Arg(7)->Arg(12);
BENCHMARK(echo_locations)->Arg(7)->Arg(12);
BENCHMARK(whole_report_order_12)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
