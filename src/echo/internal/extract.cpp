// The transition response from the main response: the echoes the model
// explains taken off, the main response's transfer function divided out where
// it stands clear of noise, and the holes where echoes would echo again
// filled with the response's own tail.
#include "fit_internal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

namespace keldran::echo {

namespace {

// Bits at each end of the segment whose mean sets the extracted response's level.
constexpr std::int64_t level_bits = 2;
// Below this squared gain of the main response's transfer function, h is not recovered.
constexpr double regularisation = 1e-3;
constexpr double exact_below_half_rate = 1e-12;

// From the edge of an echo's hole outward, h is replaced by a tail a/t^2 + b/t^3
// (t from the main transition) fitted to the flank just inside the edge, so
// that nothing of an echo, nor of its misfit, can pass itself off as part of
// the transition response: beyond the edge h is the main response's own
// continuation. A response's tails fall off as such powers of t; one that
// falls faster leaves both weights near zero.
void fill_hole(std::vector<double>& h, const correlation& corr, std::int64_t from, std::int64_t to)
{
    const bool after = from > 0;
    const std::int64_t edge = ((after ? from : to) + corr.segment) * corr.rate;
    const std::int64_t flank = flank_bits * corr.rate;
    const std::int64_t lo = after ? edge - flank : edge;
    const std::int64_t hi = after ? edge : edge + flank;
    const auto n = static_cast<std::int64_t>(h.size());
    if (lo < 0 || hi > n) {
        return;
    }
    const double origin = static_cast<double>(corr.segment * corr.rate);
    // Basis in 1/t scaled by the edge's own 1/t, so both columns are near 1.
    const double scale = std::abs(static_cast<double>(edge) - origin);
    const auto basis = [&](std::int64_t i) {
        const double x = scale / std::abs(static_cast<double>(i) - origin);
        return std::array<double, 2>{x * x, x * x * x};
    };
    std::array<double, 3> normal{};
    std::array<double, 2> right{};
    for (std::int64_t i = lo; i < hi; ++i) {
        const std::array<double, 2> u = basis(i);
        const double y = h[static_cast<std::size_t>(i)];
        normal[0] += u[0] * u[0];
        normal[1] += u[0] * u[1];
        normal[2] += u[1] * u[1];
        right[0] += u[0] * y;
        right[1] += u[1] * y;
    }
    const double det = normal[0] * normal[2] - normal[1] * normal[1];
    const double a = det > 0 ? (normal[2] * right[0] - normal[1] * right[1]) / det : 0.0;
    const double b = det > 0 ? (normal[0] * right[1] - normal[1] * right[0]) / det : 0.0;
    const std::int64_t first = after ? edge : 0;
    const std::int64_t last = after ? n : edge;
    for (std::int64_t i = first; i < last; ++i) {
        const std::array<double, 2> u = basis(i);
        h[static_cast<std::size_t>(i)] = a * u[0] + b * u[1];
    }
}

// A term of the main response's transfer function: a weight at a delay in bits.
struct delayed {
    double delay = 0;
    double weight = 0;
};

// Delays whose phasors turn side by side from bin to bin: chains of rotation that
// do not wait on one another keep the processor busy where a single chain stalls it.
constexpr std::size_t side_by_side = 8;

// Adds the sum over `terms` (at most `side_by_side`) of weight e^(-i step bin delay)
// to `sum` at every bin, the first numbered `first_bin`. The phase turns by the
// same angle from bin to bin: a rotation costs a few products where a sine and
// cosine cost many.
void add_delays(std::span<std::complex<double>> sum, double step, double first_bin,
                std::span<const delayed> terms)
{
    std::array<double, side_by_side> re{};
    std::array<double, side_by_side> im{};
    std::array<double, side_by_side> c{};
    std::array<double, side_by_side> s{};
    for (std::size_t j = 0; j < terms.size(); ++j) {
        const double angle = step * terms[j].delay;
        c.at(j) = std::cos(angle);
        s.at(j) = -std::sin(angle);
        re.at(j) = terms[j].weight * std::cos(angle * first_bin);
        im.at(j) = -terms[j].weight * std::sin(angle * first_bin);
    }
    for (std::complex<double>& bin : sum) {
        double total_re = 0;
        double total_im = 0;
        for (std::size_t j = 0; j < side_by_side; ++j) {
            total_re += re[j];
            total_im += im[j];
            const double turned = re[j] * c[j] - im[j] * s[j];
            im[j] = re[j] * s[j] + im[j] * c[j];
            re[j] = turned;
        }
        bin += std::complex<double>(total_re, total_im);
    }
}

// The terms of the main response's transfer function: each class's shifts of the
// pattern near the main transition, each delayed by its bits and by the class's
// shift, those at one delay taken together.
std::vector<delayed> main_terms(const correlation& corr, const shift_estimate& fit)
{
    std::vector<delayed> terms;
    for (const transition_class& group : corr.classes) {
        const double delay = class_delay(group, fit);
        for (const auto& [shifts, scale] :
             {std::pair{&group.plain, 1.0}, std::pair{&group.erased, -fit.erasure}}) {
            for (const weight_at& s : *shifts) {
                if (s.offset < main_before || s.offset > main_after || s.weight * scale == 0) {
                    continue;
                }
                const double at = static_cast<double>(s.offset) + delay;
                const auto same = std::find_if(terms.begin(), terms.end(),
                                               [at](const delayed& t) { return t.delay == at; });
                if (same == terms.end()) {
                    terms.push_back({at, scale * s.weight});
                } else {
                    same->weight += scale * s.weight;
                }
            }
        }
    }
    return terms;
}

// Transfer function from the transition response to the main response at the
// bins 0 to size / 2 of a transform of `size` (even) points: those of a real signal.
std::vector<std::complex<double>> main_transfer(std::size_t size, const correlation& corr,
                                                const shift_estimate& fit)
{
    std::vector<std::complex<double>> sum(size / 2 + 1, 0.0);
    const double step =
        2 * std::numbers::pi * static_cast<double>(corr.rate) / static_cast<double>(size);
    const std::vector<delayed> terms = main_terms(corr, fit);
    for (std::size_t first = 0; first < terms.size(); first += side_by_side) {
        const auto group =
            std::span(terms).subspan(first, std::min(side_by_side, terms.size() - first));
        add_delays(sum, step, 0.0, group);
    }
    return sum;
}

// The highest frequency bin at which the main response still stands clear of
// the noise, judged by the noise floor of the band's top fifth: beyond it, h
// holds nothing but noise that its extraction would amplify. Squared magnitudes
// keep the order of magnitudes, and need no root.
double signal_band(const std::vector<kiss_fft_cpx>& spectrum, std::size_t half)
{
    const auto power = [&](std::size_t k) {
        const auto r = static_cast<double>(spectrum[k].r);
        const auto i = static_cast<double>(spectrum[k].i);
        return r * r + i * i;
    };
    constexpr double top_share = 0.8;
    const auto top = static_cast<std::size_t>(top_share * static_cast<double>(half));
    std::vector<double> floor;
    for (std::size_t k = top; k < half; ++k) {
        floor.push_back(power(k));
    }
    std::nth_element(floor.begin(), floor.begin() + static_cast<std::ptrdiff_t>(floor.size() / 2),
                     floor.end());
    const double noise = floor[floor.size() / 2];
    constexpr double clear_of_noise = 4.0;
    std::size_t band = 1;
    for (std::size_t k = 1; k < half; ++k) {
        if (power(k) > clear_of_noise * clear_of_noise * noise) {
            band = k;
        }
    }
    return static_cast<double>(band);
}

// 1 up to the band, falling to 0 over the next fifth of it.
double band_taper(double bin, double band)
{
    constexpr double roll_off = 0.2;
    const double x = (bin - band) / (roll_off * band);
    if (x <= 0 || x >= 1) {
        return x <= 0 ? 1.0 : 0.0;
    }
    const double c = std::cos(x * std::numbers::pi / 2);
    return c * c;
}

// Regularisation of the division by the main response's transfer function:
// none below half the bit rate, where the transfer function vanishes only at
// zero frequency (which says nothing of h's shape), so that h's slow tails come
// back whole; above it, near the bit rate's multiples, enough to keep noise
// from being amplified.
double regularisation_at(double w)
{
    return std::abs(w) <= std::numbers::pi ? exact_below_half_rate : regularisation;
}

}  // namespace

// The transition response h from the main response, once what the model says
// the echoes add has been taken off. The main response shows nothing of h at
// whole multiples of the bit rate (h and h one bit later cancel there), so the
// division by the transfer function is regularised rather than exact.
std::vector<double> extract_response(const correlation& corr, const std::vector<term>& terms,
                                     const shift_estimate& fit, const std::vector<hole>& holes,
                                     const real_fft_plans& plans)
{
    const std::int64_t n = segment_samples(corr);
    const std::int64_t half_segment = n / 2;
    const part_set echoes = all_parts & ~only(part::main_response);
    const std::vector<double> means = phase_means(terms, corr, echoes);
    const std::size_t size = plans.size;
    std::vector<std::int64_t> segment(static_cast<std::size_t>(n));
    std::iota(segment.begin(), segment.end(), -half_segment);
    const std::vector<term> near = terms_reaching(terms, corr, segment);
    const std::vector<double> model = evaluate_all(near, corr, segment, echoes);
    std::vector<float> main(size, 0.0F);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t s = i - half_segment;
        double g = sample(corr, s);
        if (!terms.empty()) {
            g -= model[static_cast<std::size_t>(i)] - phase_mean(means, corr, s);
        }
        main[static_cast<std::size_t>(i)] = static_cast<float>(g);
    }
    // Real in and out: the bins of non-negative frequency are all there is to divide.
    std::vector<kiss_fft_cpx> spectrum(size / 2 + 1);
    kiss_fftr(plans.forward.get(), main.data(), spectrum.data());
    const double band = signal_band(spectrum, size / 2);
    const std::vector<std::complex<double>> transfer = main_transfer(size, corr, fit);
    for (std::size_t k = 0; k < spectrum.size(); ++k) {
        const double w = 2 * std::numbers::pi * signed_bin(k, size) * static_cast<double>(corr.rate)
                         / static_cast<double>(size);
        const std::complex<double> t = transfer[k];
        const std::complex<double> v = std::complex<double>(spectrum[k].r, spectrum[k].i)
                                       * std::conj(t) / (std::norm(t) + regularisation_at(w))
                                       * band_taper(std::abs(signed_bin(k, size)), band)
                                       / static_cast<double>(size);
        spectrum[k] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
    }
    kiss_fftri(plans.inverse.get(), spectrum.data(), main.data());
    std::vector<double> h(main.begin(), main.begin() + n);
    // Level the far tails to zero: h's mean is not seen in the correlation.
    const auto edge = static_cast<std::size_t>(level_bits * corr.rate);
    const double left =
        std::accumulate(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(edge), 0.0)
        / static_cast<double>(edge);
    const double right = std::accumulate(h.end() - static_cast<std::ptrdiff_t>(edge), h.end(), 0.0)
                         / static_cast<double>(edge);
    for (std::size_t i = 0; i < h.size(); ++i) {
        h[i] -= left + (right - left) * static_cast<double>(i) / static_cast<double>(h.size() - 1);
    }
    for (const hole& gap : holes) {
        fill_hole(h, corr, gap.from, gap.to);
    }
    return h;
}

}  // namespace keldran::echo
