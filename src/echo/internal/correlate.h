// Cross-correlation of a captured period with the pattern's levels, by the
// fast Hadamard transform that maximal-length-sequence analysers use.
#ifndef KELDRAN_ECHO_CORRELATE_H
#define KELDRAN_ECHO_CORRELATE_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace keldran::echo {

// C[j] = (1 / (L + 1)) sum over i of a_i x[j + i rate] (indices mod the period),
// a_i = +1 for bit i set and -1 for it clear, less the mean of each sample
// phase: the component repeating every bit says nothing about the pattern.
// bits is one period of a maximal-length sequence of `order`; period holds
// bits.size() * rate samples. A response h to each transition then shows as
// (h(t) - h(t - 1)) / 2 at the pattern's alignment.
std::vector<double> correlate(std::span<const std::int32_t> bits, std::int32_t order,
                              std::span<const double> period, std::int32_t rate);

// In place, the unnormalised Walsh-Hadamard transform of v taken as rows of `row`
// values, each column transformed apart (the number of rows a power of two).
void walsh_hadamard(std::span<double> v, std::size_t row = 1);

}  // namespace keldran::echo

#endif
