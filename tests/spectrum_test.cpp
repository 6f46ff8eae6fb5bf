// Filtering a periodic signal through its spectrum, alone by the real transform or
// beside a second signal by the complex one.
#include "internal/spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

using namespace keldran::echo;

// The slope of a sum of two tones, read per sample through the spectrum, is their
// derivative, whichever transform carries it: the real one for an even size alone,
// the complex one for an odd size or beside another signal.
TEST(Spectrum, TakesTheSlopeOfASignalAloneOrBesideAnother)
{
    constexpr double two_pi = 2 * std::numbers::pi;
    for (const std::size_t n : {std::size_t{96}, std::size_t{95}}) {
        const double a = two_pi * 3 / static_cast<double>(n);
        const double b = two_pi * 7 / static_cast<double>(n);
        std::vector<double> tones(n);
        std::vector<double> slope(n);
        for (std::size_t j = 0; j < n; ++j) {
            const auto t = static_cast<double>(j);
            tones[j] = std::sin(a * t) + 0.5 * std::cos(b * t);
            slope[j] = a * std::cos(a * t) - 0.5 * b * std::sin(b * t);
        }
        const auto derivative = [](double f, std::size_t) {
            return std::complex<double>(0.0, two_pi * f);
        };
        std::vector<double> alone = tones;
        filter_periodic(alone, nullptr, n, derivative);
        std::vector<double> beside = tones;
        std::vector<double> other = tones;
        filter_periodic(beside, &other, n, derivative);
        for (std::size_t j = 0; j < n; ++j) {
            ASSERT_NEAR(alone[j], slope[j], 1e-5) << n << " alone, at " << j;
            ASSERT_NEAR(beside[j], slope[j], 1e-5) << n << " beside another, at " << j;
            ASSERT_NEAR(other[j], slope[j], 1e-5) << n << " the other, at " << j;
        }
    }
}

}  // namespace
