#include "spectrum.h"

#include <cassert>

namespace keldran::echo {

fft_plans plan_fft(std::size_t size, fft_direction directions)
{
    fft_plans plans;
    const int n = static_cast<int>(size);
    const bool forward = directions != fft_direction::inverse;
    const bool inverse = directions != fft_direction::forward;
    if (forward) {
        plans.forward.reset(kiss_fft_alloc(n, 0, nullptr, nullptr));
    }
    if (inverse) {
        plans.inverse.reset(kiss_fft_alloc(n, 1, nullptr, nullptr));
    }
    if ((!forward || plans.forward) && (!inverse || plans.inverse)) {
        plans.size = size;
    }
    return plans;
}

real_fft_plans plan_real_fft(std::size_t size)
{
    real_fft_plans plans;
    const int n = static_cast<int>(size);
    plans.forward.reset(kiss_fftr_alloc(n, 0, nullptr, nullptr));
    plans.inverse.reset(kiss_fftr_alloc(n, 1, nullptr, nullptr));
    if (plans.forward && plans.inverse) {
        plans.size = size;
    }
    return plans;
}

void forward_fft(const fft_plans& plans, std::span<const kiss_fft_cpx> in,
                 std::span<kiss_fft_cpx> out)
{
    assert(plans.forward && "a plan made for the inverse only");
    kiss_fft(plans.forward.get(), in.data(), out.data());
}

void inverse_fft(const fft_plans& plans, std::span<const kiss_fft_cpx> in,
                 std::span<kiss_fft_cpx> out)
{
    assert(plans.inverse && "a plan made for the forward transform only");
    kiss_fft(plans.inverse.get(), in.data(), out.data());
}

}  // namespace keldran::echo
