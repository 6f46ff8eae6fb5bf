// The extracted transition response shifted by fractions of a bit through
// its spectrum, and the kernels of the channel model made from it.
#include "fit_internal.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace keldran::echo {

namespace {

// Bits either side of a part of the response that a shift may move it by.
constexpr std::int64_t shift_room_bits = 2;
// The echoes are modelled from the response within this many bits of its
// peak, fading out over the next taper_fade bits.
constexpr double taper_bits = 6.0;
constexpr double taper_fade = 2.0;

// The transform size for a part of `length` samples: room for it twice over.
std::size_t padded_size(std::size_t length)
{
    std::size_t size = 1;
    while (size < 2 * length) {
        size *= 2;
    }
    return size;
}

// The transform size for shifting `length` samples: room for the largest shift
// either side, since the response is near zero at both ends of its part.
std::size_t shift_size(std::size_t length, std::size_t room)
{
    std::size_t size = 1;
    while (size < length + 2 * room) {
        size *= 2;
    }
    return size;
}

// A shifter for h[first, first + length), with plans of shift_size(length) or more.
shifter make_shifter(const std::vector<double>& h, std::size_t first, std::size_t length,
                     std::int64_t rate, const real_fft_plans& plans)
{
    const std::size_t size = plans.size;
    shifter source{&plans, std::vector<kiss_fft_cpx>(size / 2 + 1), h.size(), first, length, rate};
    std::vector<float> padded(size, 0.0F);
    for (std::size_t i = 0; i < length; ++i) {
        padded[i] = static_cast<float>(h[first + i]);
    }
    kiss_fftr(plans.forward.get(), padded.data(), source.spectrum.data());
    return source;
}

// h(t - delay) over the whole segment (zero outside the part) for a delay in
// bit cells; with `derivative`, its slope per bit cell.
std::vector<double> shifted(const shifter& source, double delay, bool derivative = false)
{
    const std::size_t size = source.plans->size;
    const double step = 2 * std::numbers::pi / static_cast<double>(size);
    const double samples = delay * static_cast<double>(source.rate);
    const std::size_t half = size / 2;
    std::vector<kiss_fft_cpx> turned(half + 1);
    // The phase turns by the same angle from bin to bin; rotate rather than
    // evaluate a sine and cosine for every bin. The band's edge, bin `half`, stands
    // for the negative frequency, as in a transform of the whole size.
    const std::complex<double> turn = std::polar(1.0, -step * samples);
    std::complex<double> phase(1.0, 0.0);
    for (std::size_t k = 0; k <= half; ++k) {
        if (k == half) {
            phase = std::polar(1.0, step * samples * static_cast<double>(half));
        }
        std::complex<double> v =
            std::complex<double>(source.spectrum[k].r, source.spectrum[k].i) * phase;
        if (derivative) {
            v *= std::complex<double>(0.0, step * signed_bin(k, size)
                                               * static_cast<double>(source.rate));
        }
        phase *= turn;
        turned[k] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
    }
    std::vector<float> out(size);
    kiss_fftri(source.plans->inverse.get(), turned.data(), out.data());
    std::vector<double> h(source.count, 0.0);
    for (std::size_t i = 0; i < source.length; ++i) {
        h[source.first + i] = out[i] / static_cast<double>(size);
    }
    return h;
}

// h with everything beyond taper_bits from its peak faded out over taper_fade bits.
std::vector<double> near_peak(const std::vector<double>& h, std::int64_t rate)
{
    std::vector<double> near(h.size());
    const double middle = static_cast<double>(h.size()) / 2;
    for (std::size_t i = 0; i < h.size(); ++i) {
        const double t = std::abs(static_cast<double>(i) - middle) / static_cast<double>(rate);
        const double fade = std::clamp((t - taper_bits) / taper_fade, 0.0, 1.0);
        const double c = std::cos(fade * std::numbers::pi / 2);
        near[i] = h[i] * c * c;
    }
    return near;
}

// Where the faded response lies in the segment, with room either side for the largest shift.
std::pair<std::size_t, std::size_t> near_part(std::size_t count, std::int64_t rate)
{
    const auto reach =
        static_cast<std::size_t>(taper_bits + taper_fade + 1) * static_cast<std::size_t>(rate);
    const std::size_t first = count / 2 > reach ? count / 2 - reach : 0;
    return {first, std::min(count - first, 2 * reach)};
}

}  // namespace

plan_set make_plans(std::size_t count, std::int64_t rate)
{
    const auto room = static_cast<std::size_t>(shift_room_bits * rate);
    return {plan_real_fft(padded_size(count)), plan_real_fft(shift_size(count, room)),
            plan_real_fft(shift_size(near_part(count, rate).second, room))};
}

response make_response(const std::vector<double>& h, std::int64_t rate, const plan_set& plans)
{
    std::vector<double> near = near_peak(h, rate);
    const auto [first, length] = near_part(h.size(), rate);
    response extracted{make_shifter(h, 0, h.size(), rate, plans.whole),
                       make_shifter(near, first, length, rate, plans.near),
                       std::move(near),
                       {}};
    extracted.near_slope = shifted(extracted.near, 0.0, true);
    return extracted;
}

// The echoes' kernels, from the response near its peak.
void echo_kernels(kernels& k, const response& extracted, const class_set& classes,
                  const shift_estimate& fit)
{
    for (std::size_t i = 0; i < class_count; ++i) {
        const double delay = class_delay(classes.at(i), fit);
        if (k.near.at(i).empty() || k.near_delay.at(i) != delay) {
            k.near.at(i) = shifted(extracted.near, delay);
            k.near_delay.at(i) = delay;
        }
    }
}

kernels make_kernels(const response& extracted, const class_set& classes, const shift_estimate& fit)
{
    kernels k;
    for (std::size_t i = 0; i < class_count; ++i) {
        k.whole.at(i) = shifted(extracted.whole, class_delay(classes.at(i), fit));
    }
    echo_kernels(k, extracted, classes, fit);
    k.shape = extracted.near_shape;
    k.slope = extracted.near_slope;
    return k;
}

}  // namespace keldran::echo
