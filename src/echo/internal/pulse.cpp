// What the main response says of the medium and of the pulse: a step's
// correlation is a bump with an area, a pulse's a dipulse with none; a
// step's read-back measures as a pulse's once its slope is taken; and the
// width of the extracted pulse at half its height.
#include "fit_internal.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>

namespace keldran::echo {

namespace {

// Bits each side of the correlation's largest value over which its area is taken:
// enough for a wide step's bump, few enough that the period's mean, which the
// correlation lacks, takes little of it.
constexpr std::int64_t area_bits = 8;
// A bump's area is about its height times a bit or more; a dipulse's is near none.
constexpr double step_area_share = 0.5;
// The extracted pulse is read at this many points per sample for its width.
constexpr std::size_t width_upsampling = 8;

}  // namespace

recording_medium find_medium(const std::vector<double>& values, std::int64_t rate)
{
    const auto n = static_cast<std::int64_t>(values.size());
    const auto peak = std::max_element(values.begin(), values.end(),
                                       [](double a, double b) { return std::abs(a) < std::abs(b); })
                      - values.begin();
    const std::int64_t reach = std::min(area_bits * rate, n / 4);
    double area = 0;
    double low = 0;
    double high = 0;
    for (std::int64_t s = peak - reach; s <= peak + reach; ++s) {
        const double v = values[static_cast<std::size_t>(((s % n) + n) % n)];
        area += v;
        low = std::min(low, v);
        high = std::max(high, v);
    }
    area /= static_cast<double>(rate);
    return high > low && std::abs(area) > step_area_share * (high - low)
               ? recording_medium::perpendicular
               : recording_medium::longitudinal;
}

void take_slope(std::vector<double>& values, std::int64_t rate)
{
    const std::size_t size = values.size();
    filter_periodic(values, nullptr, size, [&](double f, std::size_t k) {
        // The band's edge bin is its own mirror: its slope is not defined.
        if (2 * k == size) {
            return std::complex<double>(0.0, 0.0);
        }
        return std::complex<double>(0.0, 2 * std::numbers::pi * f * static_cast<double>(rate));
    });
}

void band_limit(std::vector<double>& values, std::vector<double>* also, std::int64_t rate,
                double cycles_per_bit)
{
    const std::size_t size = values.size();
    const double cutoff = cycles_per_bit / static_cast<double>(rate);
    filter_periodic(values, also, size, [&](double f, std::size_t) {
        return std::complex<double>(std::abs(f) <= cutoff ? 1.0 : 0.0, 0.0);
    });
}

double half_height_width(const std::vector<double>& shape, std::int64_t rate)
{
    const std::size_t n = shape.size();
    if (n < 2) {
        return 0.0;
    }
    // Zero-padding the spectrum in the middle reads the band-limited pulse between its samples.
    const std::size_t fine = n * width_upsampling;
    const fft_plans plans = plan_fft(n, fft_direction::forward);
    std::vector<kiss_fft_cpx> in(n, kiss_fft_cpx{0.0F, 0.0F});
    for (std::size_t i = 0; i < n; ++i) {
        in[i].r = static_cast<float>(shape[i]);
    }
    std::vector<kiss_fft_cpx> spectrum(n);
    forward_fft(plans, in, spectrum);
    std::vector<kiss_fft_cpx> padded(fine, kiss_fft_cpx{0.0F, 0.0F});
    for (std::size_t k = 0; k < n; ++k) {
        const double bin = signed_bin(k, n);
        const auto at =
            bin >= 0 ? static_cast<std::size_t>(bin) : fine - static_cast<std::size_t>(-bin);
        padded[at] = {spectrum[k].r / static_cast<float>(n), spectrum[k].i / static_cast<float>(n)};
    }
    std::vector<kiss_fft_cpx> out(fine);
    inverse_fft(plan_fft(fine, fft_direction::inverse), padded, out);
    std::vector<double> v(fine);
    std::transform(out.begin(), out.end(), v.begin(), [](const kiss_fft_cpx& c) { return c.r; });
    const auto top = std::max_element(v.begin(), v.end());
    const double half = *top / 2;
    auto left = top;
    while (left != v.begin() && *(left - 1) > half) {
        --left;
    }
    auto right = top;
    while (right + 1 != v.end() && *(right + 1) > half) {
        ++right;
    }
    // Linear between the points either side of each crossing.
    const auto crossing = [&](auto inside, auto outside) {
        const double a = *inside - half;
        const double b = *outside - half;
        const double share = a != b ? a / (a - b) : 0.0;
        return static_cast<double>(inside - v.begin())
               + share * static_cast<double>(outside - inside);
    };
    const double from = left == v.begin() ? 0.0 : crossing(left, left - 1);
    const double to =
        right + 1 == v.end() ? static_cast<double>(fine - 1) : crossing(right, right + 1);
    return (to - from) / static_cast<double>(width_upsampling * static_cast<std::size_t>(rate));
}

}  // namespace keldran::echo
