// Discrete Fourier transforms through KissFFT, for the correlation, the
// channel simulation and the fractional shifts of the fit.
#ifndef KELDRAN_ECHO_SPECTRUM_H
#define KELDRAN_ECHO_SPECTRUM_H

#include <kiss_fft.h>  // from the kissfft target's own include folder

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>

namespace keldran::echo {

struct kiss_plan_free {
    void operator()(kiss_fft_state* plan) const
    {
        // NOLINTNEXTLINE(cppcoreguidelines-no-malloc): KissFFT allocates plans with malloc
        std::free(plan);
    }
};

// Forward and inverse plans of one size. The inverse is unnormalised, as in
// KissFFT: forward then inverse multiplies by size.
struct fft_plans {
    std::size_t size = 0;
    std::unique_ptr<kiss_fft_state, kiss_plan_free> forward;
    std::unique_ptr<kiss_fft_state, kiss_plan_free> inverse;
};

// Which transforms a set of plans is for: a plan's factors cost a sine and a
// cosine per point, so a direction never taken is not planned.
enum class fft_direction { forward, inverse, both };

// Plans for transforms of `size` points (any size > 0) in the directions asked;
// empty plans (size 0) when memory runs out.
fft_plans plan_fft(std::size_t size, fft_direction directions = fft_direction::both);

// out = DFT of in (both plans.size points; in and out must not overlap).
void forward_fft(const fft_plans& plans, std::span<const kiss_fft_cpx> in,
                 std::span<kiss_fft_cpx> out);

// out = unnormalised inverse DFT of in.
void inverse_fft(const fft_plans& plans, std::span<const kiss_fft_cpx> in,
                 std::span<kiss_fft_cpx> out);

// The signed frequency index of bin k of an n-point transform: k for k < n/2, else k - n.
inline double signed_bin(std::size_t k, std::size_t n)
{
    return 2 * k < n ? static_cast<double>(k) : static_cast<double>(k) - static_cast<double>(n);
}

}  // namespace keldran::echo

#endif
