#include "correlate.h"

#include <algorithm>
#include <bit>

namespace keldran::echo {

namespace {

// The register state at each step: bits k ... k + order - 1, bit j of the
// state being bit k + j. Every non-zero state occurs exactly once per period.
std::vector<std::size_t> states(std::span<const std::int32_t> bits, std::int32_t order)
{
    const std::size_t length = bits.size();
    const auto width = static_cast<std::size_t>(order);
    std::vector<std::size_t> state(length);
    std::size_t s = 0;
    for (std::size_t j = 0; j < width; ++j) {
        s |= static_cast<std::size_t>(bits[j % length] != 0) << j;
    }
    // Each step drops bit k and takes in bit k + order.
    for (std::size_t k = 0; k < length; ++k) {
        state[k] = s;
        const std::size_t incoming = k + width < length ? k + width : (k + width) % length;
        s = (s >> 1) | (static_cast<std::size_t>(bits[incoming] != 0) << (width - 1));
    }
    return state;
}

// For each shift t, the vector u with bit (k + t) = <u, state k> for every k:
// bit j of u is the bit t after the step whose state is the unit vector e_j.
std::vector<std::size_t> shift_functionals(std::span<const std::int32_t> bits,
                                           const std::vector<std::size_t>& state,
                                           std::int32_t order)
{
    const std::size_t length = bits.size();
    std::vector<std::size_t> unit_step(static_cast<std::size_t>(order));
    for (std::size_t k = 0; k < length; ++k) {
        if ((state[k] & (state[k] - 1)) == 0) {
            unit_step[static_cast<std::size_t>(std::countr_zero(state[k]))] = k;
        }
    }
    std::vector<std::size_t> functional(length, 0);
    for (std::size_t j = 0; j < unit_step.size(); ++j) {
        // Bit unit_step[j] + t, round the period, for every t.
        std::size_t at = unit_step[j];
        for (std::size_t t = 0; t < length; ++t) {
            functional[t] |= static_cast<std::size_t>(bits[at] != 0) << j;
            at = at + 1 == length ? 0 : at + 1;
        }
    }
    return functional;
}

}  // namespace

void walsh_hadamard(std::span<double> v, std::size_t row)
{
    const std::size_t count = v.size() / row;
    for (std::size_t half = 1; half < count; half *= 2) {
        for (std::size_t block = 0; block < count; block += 2 * half) {
            for (std::size_t i = block * row; i < (block + half) * row; ++i) {
                const double a = v[i];
                const double b = v[i + half * row];
                v[i] = a + b;
                v[i + half * row] = a - b;
            }
        }
    }
}

std::vector<double> correlate(std::span<const std::int32_t> bits, std::int32_t order,
                              std::span<const double> period, std::int32_t rate)
{
    // With a_k = -(-1)^bit k and bit (k - t) = <u(-t), state k>, the sum over k of
    // a_(k-t) x_k is minus the Hadamard transform of x, placed by state, at u(-t).
    // Every phase is transformed at once, row by row: row s holds the samples of
    // the bit whose state is s, so each butterfly runs over contiguous samples.
    const std::size_t length = bits.size();
    const auto phases = static_cast<std::size_t>(rate);
    const std::vector<std::size_t> state = states(bits, order);
    const std::vector<std::size_t> functional = shift_functionals(bits, state, order);
    const double scale = -1.0 / static_cast<double>(length + 1);
    std::vector<double> placed((length + 1) * phases, 0.0);
    std::vector<double> mean(phases, 0.0);
    for (std::size_t k = 0; k < length; ++k) {
        const double* from = &period[k * phases];
        double* to = &placed[state[k] * phases];
        for (std::size_t phase = 0; phase < phases; ++phase) {
            to[phase] = from[phase];
            mean[phase] += from[phase];
        }
    }
    walsh_hadamard(placed, phases);
    // The mean over a period of each phase's correlation is its sum / L; take it off.
    for (double& m : mean) {
        m *= -scale / static_cast<double>(length);
    }
    std::vector<double> c(period.size());
    for (std::size_t t = 0; t < length; ++t) {
        const double* from = &placed[functional[(length - t) % length] * phases];
        double* to = &c[t * phases];
        for (std::size_t phase = 0; phase < phases; ++phase) {
            to[phase] = scale * from[phase] - mean[phase];
        }
    }
    return c;
}

}  // namespace keldran::echo
