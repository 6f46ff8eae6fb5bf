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
    std::vector<std::size_t> state(length);
    for (std::size_t k = 0; k < length; ++k) {
        std::size_t s = 0;
        for (std::size_t j = 0; j < static_cast<std::size_t>(order); ++j) {
            s |= static_cast<std::size_t>(bits[(k + j) % length] != 0) << j;
        }
        state[k] = s;
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
    std::vector<std::size_t> functional(length);
    for (std::size_t t = 0; t < length; ++t) {
        std::size_t u = 0;
        for (std::size_t j = 0; j < unit_step.size(); ++j) {
            u |= static_cast<std::size_t>(bits[(unit_step[j] + t) % length] != 0) << j;
        }
        functional[t] = u;
    }
    return functional;
}

}  // namespace

void walsh_hadamard(std::span<double> v)
{
    for (std::size_t half = 1; half < v.size(); half *= 2) {
        for (std::size_t block = 0; block < v.size(); block += 2 * half) {
            for (std::size_t i = block; i < block + half; ++i) {
                const double a = v[i];
                const double b = v[i + half];
                v[i] = a + b;
                v[i + half] = a - b;
            }
        }
    }
}

std::vector<double> correlate(std::span<const std::int32_t> bits, std::int32_t order,
                              std::span<const double> period, std::int32_t rate)
{
    // With a_k = -(-1)^bit k and bit (k - t) = <u(-t), state k>, the sum over k of
    // a_(k-t) x_k is minus the Hadamard transform of x, placed by state, at u(-t).
    const std::size_t length = bits.size();
    const auto phases = static_cast<std::size_t>(rate);
    const std::vector<std::size_t> state = states(bits, order);
    const std::vector<std::size_t> functional = shift_functionals(bits, state, order);
    const double scale = -1.0 / static_cast<double>(length + 1);
    std::vector<double> c(period.size());
    std::vector<double> placed(length + 1);
    for (std::size_t phase = 0; phase < phases; ++phase) {
        std::fill(placed.begin(), placed.end(), 0.0);
        double sum = 0;
        for (std::size_t k = 0; k < length; ++k) {
            placed[state[k]] = period[phase + k * phases];
            sum += period[phase + k * phases];
        }
        walsh_hadamard(placed);
        // The mean over a period of this phase's correlation is sum / L; take it off.
        const double mean = sum / static_cast<double>(length) * -scale;
        for (std::size_t t = 0; t < length; ++t) {
            c[phase + t * phases] = scale * placed[functional[(length - t) % length]] - mean;
        }
    }
    return c;
}

}  // namespace keldran::echo
