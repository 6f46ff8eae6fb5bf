// Discrete Fourier transforms through KissFFT, for the correlation, the
// channel simulation and the fractional shifts of the fit.
#ifndef KELDRAN_ECHO_SPECTRUM_H
#define KELDRAN_ECHO_SPECTRUM_H

#include <kiss_fft.h>  // from the kissfft target's own include folder
#include <kiss_fftr.h>

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace keldran::echo {

// Frees a KissFFT plan of either kind.
struct kiss_plan_free {
    void operator()(void* plan) const
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

// Forward and inverse plans of a real signal's transform of one even size, which
// keeps the bins 0 to size / 2; the inverse is unnormalised.
struct real_fft_plans {
    std::size_t size = 0;
    std::unique_ptr<kiss_fftr_state, kiss_plan_free> forward;
    std::unique_ptr<kiss_fftr_state, kiss_plan_free> inverse;
};

// Plans for real transforms of `size` points (even, > 0); empty plans (size 0)
// when memory runs out.
real_fft_plans plan_real_fft(std::size_t size);

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

namespace detail {

// v (real, of an even size) through `gain` by the real transform, which holds the
// bins of non-negative frequency only: the gain is taken to give a real impulse
// response, as the other half follows from it.
template <typename Gain> void filter_real(std::vector<double>& v, std::size_t size, Gain gain)
{
    const real_fft_plans plans = plan_real_fft(size);
    std::vector<float> samples(size, 0.0F);
    std::transform(v.begin(), v.end(), samples.begin(),
                   [](double x) { return static_cast<float>(x); });
    std::vector<kiss_fft_cpx> spectrum(size / 2 + 1);
    kiss_fftr(plans.forward.get(), samples.data(), spectrum.data());
    const double scale = 1.0 / static_cast<double>(size);
    for (std::size_t k = 0; k < spectrum.size(); ++k) {
        const std::complex<double> x = std::complex<double>(spectrum[k].r, spectrum[k].i)
                                       * gain(signed_bin(k, size) * scale, k) * scale;
        spectrum[k] = {static_cast<float>(x.real()), static_cast<float>(x.imag())};
    }
    kiss_fftri(plans.inverse.get(), spectrum.data(), samples.data());
    v.assign(samples.begin(), samples.end());
}

// v and `also` (or null) through `gain`, in the same complex transforms.
template <typename Gain>
void filter_complex(std::vector<double>& v, std::vector<double>* also, std::size_t size, Gain gain)
{
    // One plan serves both ways: the inverse transform is the conjugate of the
    // forward one of the conjugate, and a plan costs a sine and a cosine a point.
    const fft_plans plans = plan_fft(size, fft_direction::forward);
    std::vector<kiss_fft_cpx> in(size, kiss_fft_cpx{0.0F, 0.0F});
    for (std::size_t i = 0; i < v.size(); ++i) {
        in[i].r = static_cast<float>(v[i]);
    }
    for (std::size_t i = 0; also != nullptr && i < also->size(); ++i) {
        in[i].i = static_cast<float>((*also)[i]);
    }
    std::vector<kiss_fft_cpx> spectrum(size);
    forward_fft(plans, in, spectrum);
    const double scale = 1.0 / static_cast<double>(size);
    for (std::size_t k = 0; k < size; ++k) {
        const std::complex<double> x = std::complex<double>(spectrum[k].r, spectrum[k].i)
                                       * gain(signed_bin(k, size) * scale, k) * scale;
        spectrum[k] = {static_cast<float>(x.real()), static_cast<float>(-x.imag())};
    }
    forward_fft(plans, spectrum, in);
    v.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
        v[i] = in[i].r;
    }
    if (also != nullptr) {
        also->resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            (*also)[i] = -in[i].i;
        }
    }
}

}  // namespace detail

// v, a periodic signal zero-padded to `size` (at least its own), through `gain`, a
// complex function of each bin's frequency in cycles per sample and of its index,
// whose impulse response is real; and `also` (or null) with it, in the same
// transforms as the imaginary part. Both come back `size` long.
template <typename Gain>
void filter_periodic(std::vector<double>& v, std::vector<double>* also, std::size_t size, Gain gain)
{
    // A real transform costs half a complex one, when there is no second signal to carry.
    if (also == nullptr && size % 2 == 0) {
        detail::filter_real(v, size, gain);
    } else {
        detail::filter_complex(v, also, size, gain);
    }
}

}  // namespace keldran::echo

#endif
