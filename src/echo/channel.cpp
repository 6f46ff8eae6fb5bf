#include "channel.h"

#include "internal/resample.h"
#include "internal/spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>

namespace keldran::echo {

namespace {

// Samples per bit of the synthesis grid: enough that a Lorentzian's spectrum,
// exp(-pi PW50 f), has fallen below 1e-10 at the grid's band edge, within bounds.
constexpr double grid_band_factor = 16.0;
constexpr std::int32_t min_grid_per_bit = 32;
constexpr std::int32_t max_grid_per_bit = 1024;

std::int32_t grid_per_bit(double pw50)
{
    const double wanted = std::ceil(grid_band_factor / pw50);
    return static_cast<std::int32_t>(
        std::clamp(wanted, double{min_grid_per_bit}, double{max_grid_per_bit}));
}
// libsamplerate converts at most this factor up or down in one step.
constexpr double max_ratio = 256.0;
// Output samples made and dropped before the capture starts, so that the
// converter's filter is full of signal by then.
constexpr std::int64_t lead_in = 256;
constexpr std::size_t chunk = 1 << 14;
// Width at half height of exp(-a t^2) is 2 sqrt(ln 2 / a).
const double gaussian_scale = 4.0 * std::numbers::ln2;

// Continuous Fourier transform of the pulse at f cycles per bit.
double pulse_spectrum(pulse_shape pulse, double pw50, double f)
{
    if (pulse == pulse_shape::lorentzian) {
        return std::numbers::pi * pw50 / 2 * std::exp(-std::numbers::pi * pw50 * std::abs(f));
    }
    const double a = gaussian_scale / (pw50 * pw50);
    return std::sqrt(std::numbers::pi / a)
           * std::exp(-std::numbers::pi * std::numbers::pi * f * f / a);
}

// Continuous Fourier transform of the transition response at f cycles per bit.
// A step has none at f = 0: read_back_period gives the period's mean there.
std::complex<double> response_spectrum(const channel_model& model, double f)
{
    const double pulse = pulse_spectrum(model.pulse, model.pw50, f);
    if (model.medium == recording_medium::longitudinal) {
        return pulse;
    }
    if (f == 0) {
        return 0;
    }
    // The step's slope is the pulse scaled to area 2, and its transform that of
    // the slope over i 2 pi f.
    constexpr double step_height = 2.0;
    const double area = pulse_spectrum(model.pulse, model.pw50, 0);
    return pulse * step_height / area / std::complex<double>(0, 2 * std::numbers::pi * f);
}

// What the head reads of the field x.
double head_reading(const channel_model& model, double x)
{
    return x + model.asymmetry * x * x;
}

std::int32_t level(std::span<const std::int32_t> bits, std::int64_t k)
{
    const auto length = static_cast<std::int64_t>(bits.size());
    const std::int64_t i = ((k % length) + length) % length;
    return bits[static_cast<std::size_t>(i)] != 0 ? 1 : -1;
}

}  // namespace

double transition_response(pulse_shape pulse, double pw50, double t)
{
    if (pulse == pulse_shape::lorentzian) {
        const double x = 2 * t / pw50;
        return 1 / (1 + x * x);
    }
    return std::exp(-gaussian_scale * t * t / (pw50 * pw50));
}

double step_response(pulse_shape pulse, double pw50, double t)
{
    if (pulse == pulse_shape::lorentzian) {
        return 2 / std::numbers::pi * std::atan(2 * t / pw50);
    }
    return std::erf(std::sqrt(gaussian_scale) * t / pw50);
}

double transition_shift(std::span<const std::int32_t> bits, std::int64_t k,
                        const channel_model& model)
{
    const std::int32_t polarity = (level(bits, k) - level(bits, k - 1)) / 2;
    double shift = model.hts * polarity;
    if (level(bits, k - 2) != level(bits, k - 1)) {
        shift -= model.nlts;
    }
    return shift;
}

double erasure_factor(std::span<const std::int32_t> bits, std::int64_t k,
                      const channel_model& model)
{
    const bool beside =
        level(bits, k - 2) != level(bits, k - 1) || level(bits, k) != level(bits, k + 1);
    const bool erases = model.medium == recording_medium::longitudinal && beside;
    return erases ? 1 - model.partial_erasure : 1.0;
}

namespace {

// Transitions that share a shift and an erasure factor: their sum is one
// transform of polarities, delayed and scaled as a whole.
struct transition_group {
    double shift = 0;
    double amplitude = 1;
    friend bool operator==(const transition_group&, const transition_group&) = default;
};

transition_group group_of(std::span<const std::int32_t> bits, std::int64_t k,
                          const channel_model& model)
{
    return {transition_shift(bits, k, model), erasure_factor(bits, k, model)};
}

// The distinct groups of the pattern: four shifts and two factors at most.
std::vector<transition_group> distinct_groups(std::span<const std::int32_t> bits,
                                              const channel_model& model)
{
    std::vector<transition_group> groups;
    for (std::size_t k = 0; k < bits.size(); ++k) {
        const transition_group g = group_of(bits, static_cast<std::int64_t>(k), model);
        if (std::find(groups.begin(), groups.end(), g) == groups.end()) {
            groups.push_back(g);
        }
    }
    return groups;
}

std::int32_t polarity_at(std::span<const std::int32_t> bits, std::int64_t k)
{
    return (level(bits, k) - level(bits, k - 1)) / 2;
}

// The transform of the transition polarities b_k of the transitions in `group`.
std::vector<kiss_fft_cpx> polarities_in(std::span<const std::int32_t> bits,
                                        const channel_model& model, const transition_group& group,
                                        const fft_plans& plans)
{
    std::vector<kiss_fft_cpx> impulses(bits.size());
    for (std::size_t k = 0; k < bits.size(); ++k) {
        const auto at = static_cast<std::int64_t>(k);
        const bool here = group_of(bits, at, model) == group;
        impulses[k] = {here ? static_cast<float>(polarity_at(bits, at)) : 0.0F, 0.0F};
    }
    std::vector<kiss_fft_cpx> spectrum(bits.size());
    forward_fft(plans, impulses, spectrum);
    return spectrum;
}

// The mean of a period of the perpendicular field: each cell holds its
// level, and a step of polarity b moved d later takes 2 b d of area away.
double perpendicular_mean(std::span<const std::int32_t> bits, const channel_model& model)
{
    // A step rises by twice its polarity, from -1 to +1.
    constexpr double rise = 2.0;
    double area = 0;
    for (std::size_t k = 0; k < bits.size(); ++k) {
        const auto at = static_cast<std::int64_t>(k);
        area += level(bits, at) - rise * polarity_at(bits, at) * transition_shift(bits, at, model);
    }
    return area / static_cast<double>(bits.size());
}

// The Fourier series coefficients of one period of the field on a grid of
// `size` points from `start`.
std::vector<std::complex<double>> field_coefficients(std::span<const std::int32_t> bits,
                                                     const channel_model& model, std::size_t size,
                                                     double start)
{
    const std::size_t length = bits.size();
    const auto length_d = static_cast<double>(length);
    // y(t) = sum_k b_k e_k h(t - k - d_k) has the coefficients
    // (1/L) H(m/L) sum_k b_k e_k exp(-2 pi i m (k + d_k) / L); the sum over k is
    // taken as one transform per group of transitions.
    const fft_plans bit_plans = plan_fft(length);
    std::vector<std::complex<double>> coefficients(size);
    for (const transition_group& g : distinct_groups(bits, model)) {
        const std::vector<kiss_fft_cpx> u = polarities_in(bits, model, g, bit_plans);
        for (std::size_t m = 0; m < size; ++m) {
            const double f = signed_bin(m, size) / length_d;
            const double phase = -2 * std::numbers::pi * f * (g.shift - start);
            coefficients[m] += std::complex<double>(u[m % length].r, u[m % length].i)
                               * std::polar(g.amplitude / length_d, phase)
                               * response_spectrum(model, f);
        }
    }
    if (model.medium == recording_medium::perpendicular) {
        coefficients[0] = perpendicular_mean(bits, model);
    }
    return coefficients;
}

}  // namespace

std::vector<float> read_back_period(const polynomial& poly, const channel_model& model,
                                    std::int32_t grid, double start)
{
    const std::vector<std::int32_t> bits = pattern_bits(poly);
    const std::size_t size = bits.size() * static_cast<std::size_t>(grid);
    const std::vector<std::complex<double>> coefficients =
        field_coefficients(bits, model, size, start);
    std::vector<kiss_fft_cpx> spectrum(size);
    std::vector<kiss_fft_cpx> samples(size);
    for (std::size_t m = 0; m < size; ++m) {
        spectrum[m] = {static_cast<float>(coefficients[m].real()),
                       static_cast<float>(coefficients[m].imag())};
    }
    inverse_fft(plan_fft(size, fft_direction::inverse), spectrum, samples);
    // The head reads the field point by point, so it may read the grid's samples.
    std::vector<float> period(size);
    std::transform(samples.begin(), samples.end(), period.begin(), [&](const kiss_fft_cpx& c) {
        return static_cast<float>(head_reading(model, c.r));
    });
    return period;
}

namespace {

// Periods summed each side of a sample when it is evaluated directly: the
// Lorentzian's tails beyond them change no sample by more than 1e-6.
constexpr std::int64_t direct_reach_periods = 4;
// A step's tails fall only as 1/t: with the field's mean taken apart, the cells
// beyond this many each side change no sample by more than 1e-6 for a PW50 up
// to 10 bit cells.
constexpr std::int64_t direct_reach_cells = 4096;

// The longitudinal field at t of the transitions within `reach` cells of it.
double longitudinal_field(std::span<const std::int32_t> bits, const channel_model& model, double t,
                          std::int64_t reach)
{
    const auto centre = static_cast<std::int64_t>(std::floor(t));
    double y = 0;
    for (std::int64_t k = centre - reach; k <= centre + reach; ++k) {
        const std::int32_t polarity = polarity_at(bits, k);
        if (polarity != 0) {
            const double at = t - static_cast<double>(k) - transition_shift(bits, k, model);
            y += polarity * erasure_factor(bits, k, model)
                 * transition_response(model.pulse, model.pw50, at);
        }
    }
    return y;
}

// The perpendicular field at t of the cells within `reach` of it. Summed step by
// step it would converge as slowly as a step's tails. Instead each cell k is
// read as its level times its own reading p_k(t) (the difference of the
// unshifted steps at its edges, falling as 1/t^2), its transition's shift as
// the difference it makes to its step, and the field's mean taken apart: the
// p_k add up to 1, so the mean carries what lies beyond the reach.
double perpendicular_field(std::span<const std::int32_t> bits, const channel_model& model, double t,
                           std::int64_t reach)
{
    const auto step = [&](double x) { return step_response(model.pulse, model.pw50, x); };
    const double mean = perpendicular_mean(bits, model);
    const auto centre = static_cast<std::int64_t>(std::floor(t));
    double y = mean;
    for (std::int64_t k = centre - reach; k <= centre + reach; ++k) {
        const double at = t - static_cast<double>(k);
        y += (level(bits, k) - mean) * (step(at) - step(at - 1)) / 2;
        const std::int32_t polarity = polarity_at(bits, k);
        if (polarity != 0) {
            y += polarity * (step(at - transition_shift(bits, k, model)) - step(at));
        }
    }
    return y;
}

double direct_sample(std::span<const std::int32_t> bits, const channel_model& model, double t)
{
    const std::int64_t reach = direct_reach_periods * static_cast<std::int64_t>(bits.size());
    const double field =
        model.medium == recording_medium::longitudinal
            ? longitudinal_field(bits, model, t, reach)
            : perpendicular_field(bits, model, t, std::max(reach, direct_reach_cells));
    return head_reading(model, field);
}

struct noise_source {
    std::mt19937_64 engine;
    std::normal_distribution<double> normal;
    double sigma = 0;
};

noise_source make_noise(const capture_plan& plan, std::span<const float> period)
{
    double power = 0;
    for (const float y : period) {
        power += static_cast<double>(y) * y;
    }
    power /= static_cast<double>(period.size());
    noise_source noise{std::mt19937_64(plan.seed), std::normal_distribution<double>(0.0, 1.0), 0.0};
    if (plan.snr_db) {
        constexpr double decibels_per_decade = 10.0;
        constexpr double decade = 10.0;
        noise.sigma = std::sqrt(power / std::pow(decade, *plan.snr_db / decibels_per_decade));
    }
    return noise;
}

void add_noise(noise_source& noise, std::span<float> samples)
{
    if (noise.sigma > 0) {
        for (float& y : samples) {
            y += static_cast<float>(noise.sigma * noise.normal(noise.engine));
        }
    }
}

echo_error simulate_directly(const polynomial& poly, const channel_model& model,
                             const capture_plan& plan, std::int64_t count, const sample_sink& sink)
{
    const std::vector<std::int32_t> bits = pattern_bits(poly);
    noise_source noise =
        make_noise(plan, read_back_period(poly, model, grid_per_bit(model.pw50), plan.start));
    std::vector<float> out;
    for (std::int64_t j = 0; j < count; ++j) {
        const double t = plan.start + static_cast<double>(j) / plan.samples_per_bit;
        out.push_back(static_cast<float>(direct_sample(bits, model, t)));
    }
    add_noise(noise, out);
    return sink(out) ? echo_error{} : echo_error{.code = echo_errc::write_failed};
}

}  // namespace

namespace {

// Converts the periodic grid, from its start, to `count` samples at `ratio`
// output samples per grid sample, with noise, into the sink.
echo_error convert_grid(const std::vector<float>& period, double ratio, std::int64_t count,
                        noise_source& noise, const sample_sink& sink)
{
    const resampler converter = make_resampler(SRC_SINC_MEDIUM_QUALITY);
    if (!converter) {
        return {.code = echo_errc::converter_failed};
    }
    std::vector<float> out(chunk);
    std::size_t at = 0;
    std::int64_t skip = lead_in;
    std::int64_t left = count;
    while (left > 0) {
        const std::size_t take = std::min(chunk, period.size() - at);
        const resample_step step =
            resample(converter.get(), std::span(period).subspan(at, take), out, ratio);
        if (step.error != 0) {
            return {.code = echo_errc::converter_failed, .text = src_strerror(step.error)};
        }
        at = (at + step.used) % period.size();
        auto made = std::span(out).first(step.made);
        const auto dropped = std::min<std::int64_t>(skip, static_cast<std::int64_t>(made.size()));
        skip -= dropped;
        made = made.subspan(static_cast<std::size_t>(dropped));
        made = made.first(static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(made.size()))));
        add_noise(noise, made);
        if (!made.empty() && !sink(made)) {
            return {.code = echo_errc::write_failed};
        }
        left -= static_cast<std::int64_t>(made.size());
    }
    return {};
}

}  // namespace

echo_error simulate_capture(const polynomial& poly, const channel_model& model,
                            const capture_plan& plan, const sample_sink& sink)
{
    const double length = static_cast<double>(sequence_length(poly.order));
    // The pattern repeats every period: a start far along it is the same start
    // within the first period, and keeps the sample times exact.
    capture_plan within = plan;
    within.start = std::fmod(plan.start, length);
    const auto count =
        static_cast<std::int64_t>(std::llround(plan.periods * length * plan.samples_per_bit));
    // The converter goes at most max_ratio up: a finer rate asks for a finer grid.
    const auto grid =
        std::max(grid_per_bit(model.pw50),
                 static_cast<std::int32_t>(std::ceil(plan.samples_per_bit / max_ratio)));
    const double ratio = plan.samples_per_bit / grid;
    if (ratio < 1 / max_ratio) {
        return simulate_directly(poly, model, within, count, sink);
    }
    // The grid starts lead_in output samples early; those are dropped.
    const double early = static_cast<double>(lead_in) / plan.samples_per_bit;
    const std::vector<float> period = read_back_period(poly, model, grid, within.start - early);
    noise_source noise = make_noise(within, period);
    return convert_grid(period, ratio, count, noise, sink);
}

}  // namespace keldran::echo
