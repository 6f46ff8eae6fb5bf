#include "fit.h"

#include "correlate.h"
#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <numeric>

namespace keldran::echo {

namespace {

// Bits each side of the main response over which the transition response is
// extracted and every echo is modelled: at most this, and at most a quarter of
// the period, so that no echo inside the segment comes round into it again
// from the other side.
constexpr std::int64_t max_segment_bits = 40;
// Bits each side of an echo over which it is fitted and drawn.
constexpr std::int64_t window_bits = 4;
// Bits at most between an echo and the edge of its hole in the extracted
// response, and of the flank inside the edge that the tail beyond is fitted to.
constexpr std::int64_t hole_bits = 5;
constexpr std::int64_t flank_bits = 2;
// Bits a hole's flank keeps clear of the main response's reach.
constexpr double hole_clearance = 0.5;
// A response reaches as far as it stays above this fraction of its peak.
constexpr double reach_fraction = 0.2;
// The main response must hold this share of the correlation's energy near it.
constexpr double pattern_share = 0.5;
constexpr std::int64_t pattern_window_bits = 16;
constexpr int fit_rounds = 12;
constexpr int newton_steps = 4;
constexpr double derivative_step = 1e-4;
constexpr double converged = 1e-5;
constexpr double max_shift = 0.45;
constexpr double decibels_per_decade = 10.0;
constexpr double max_snr_db = 200.0;
// Bits either side of a part of the response that a shift may move it by.
constexpr std::int64_t shift_room_bits = 2;
// Bits at each end of the segment whose mean sets the extracted response's level.
constexpr std::int64_t level_bits = 2;
// An HTS or NLTS echo whose fit leaves more than this share of it unexplained,
// beyond noise_margin times the noise, gets no shift.
constexpr double misfit_limit = 0.1;
// Bits in the shortest period whose correlation can tell this pattern from another.
constexpr std::int64_t shortest_checked_period = 31;
// Bits in the shortest period whose echoes can be measured apart: order 7's.
constexpr double shortest_separable_period = 127.0;
constexpr double noise_margin = 3.0;
// Echoes smaller than this share of the main response are judged against it.
constexpr double smallest_judged_echo = 0.02;
// The main response's centre, half a bit after the transition that starts it.
constexpr double main_centre = 0.5;
constexpr double percent = 100.0;
// Below this squared gain of the main response's transfer function, h is not recovered.
constexpr double regularisation = 1e-3;
constexpr double exact_below_half_rate = 1e-12;
// The echoes are modelled from the response within this many bits of its
// peak, fading out over the next taper_fade bits.
constexpr double taper_bits = 6.0;
constexpr double taper_fade = 2.0;

enum owner : std::uint8_t { main_response, hts, nlts, second_adjacent, interaction };

struct frame {
    std::vector<double> c;  // the correlation, one period
    std::int64_t length = 0;
    std::int64_t rate = 0;
    std::int64_t origin = 0;   // sample of the main response's transition
    std::int64_t segment = 0;  // bits each side of it that the response is extracted over
};

// s moved by whole periods n into [-n/2, n/2).
std::int64_t wrap(std::int64_t s, std::int64_t n)
{
    if (s < -n || s >= 2 * n) {
        s %= n;
    }
    while (s < -(n / 2)) {
        s += n;
    }
    while (s >= n - n / 2) {
        s -= n;
    }
    return s;
}

double sample(const frame& f, std::int64_t s)
{
    const auto n = static_cast<std::int64_t>(f.c.size());
    return f.c[static_cast<std::size_t>((((f.origin + s) % n) + n) % n)];
}

// Finds the main response (where the transition response peaks) and turns an
// inverted capture upright.
void find_main(frame& f)
{
    const auto n = static_cast<std::int64_t>(f.c.size());
    double best = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double signature =
            f.c[static_cast<std::size_t>(j)] - f.c[static_cast<std::size_t>((j + f.rate) % n)];
        if (std::abs(signature) > std::abs(best)) {
            best = signature;
            f.origin = j;
        }
    }
    if (best < 0) {
        std::transform(f.c.begin(), f.c.end(), f.c.begin(), std::negate<>());
    }
}

// Bits each side of the main response that main_share counts: a few, and at
// most an eighth of the period.
std::int64_t share_reach(const frame& f)
{
    constexpr std::int64_t eighth = 8;
    return std::min(pattern_window_bits, f.length / eighth);
}

// Share of the correlation's energy within a few bits of the main response.
double main_share(const frame& f)
{
    const std::int64_t reach = share_reach(f) * f.rate;
    double near = 0;
    for (std::int64_t s = -reach; s <= reach + f.rate; ++s) {
        near += sample(f, s) * sample(f, s);
    }
    const double total = std::inner_product(f.c.begin(), f.c.end(), f.c.begin(), 0.0);
    return total > 0 ? near / total : 0.0;
}

// The share main_share must reach: well above what a correlation spread evenly
// over the period, as a wrong pattern gives, puts near any point.
double share_needed(const frame& f)
{
    const std::int64_t reach = share_reach(f);
    const double even = static_cast<double>(2 * reach + 1) / static_cast<double>(f.length);
    return std::max(pattern_share, 2 * even);
}

// Shifts of part of the extracted transition response by fractions of a bit,
// through its spectrum. The part lies well inside its zero-padded transform.
struct shifter {
    const fft_plans* plans = nullptr;
    std::vector<kiss_fft_cpx> spectrum;
    std::size_t count = 0;   // samples of the whole segment
    std::size_t first = 0;   // where the part starts in it
    std::size_t length = 0;  // samples of the part
    std::int64_t rate = 0;
};

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
                     std::int64_t rate, const fft_plans& plans)
{
    const std::size_t size = plans.size;
    shifter sh{&plans, std::vector<kiss_fft_cpx>(size), h.size(), first, length, rate};
    std::vector<kiss_fft_cpx> padded(size, kiss_fft_cpx{0.0F, 0.0F});
    for (std::size_t i = 0; i < length; ++i) {
        padded[i].r = static_cast<float>(h[first + i]);
    }
    forward_fft(plans, padded, sh.spectrum);
    return sh;
}

// h(t - delay) over the whole segment (zero outside the part) for a delay in
// bit cells; with `derivative`, its slope per bit cell.
std::vector<double> shifted(const shifter& sh, double delay, bool derivative = false)
{
    const std::size_t size = sh.plans->size;
    const double step = 2 * std::numbers::pi / static_cast<double>(size);
    const double samples = delay * static_cast<double>(sh.rate);
    std::vector<kiss_fft_cpx> turned(size);
    // The phase turns by the same angle from bin to bin; rotate rather than
    // evaluate a sine and cosine for every bin.
    const std::complex<double> turn = std::polar(1.0, -step * samples);
    std::complex<double> up(1.0, 0.0);
    const std::size_t half = size / 2;
    std::complex<double> down = std::polar(1.0, step * samples * static_cast<double>(half));
    for (std::size_t k = 0; k < size; ++k) {
        std::complex<double>& phase = k < half ? up : down;
        std::complex<double> v = std::complex<double>(sh.spectrum[k].r, sh.spectrum[k].i) * phase;
        if (derivative) {
            v *= std::complex<double>(0.0,
                                      step * signed_bin(k, size) * static_cast<double>(sh.rate));
        }
        phase *= turn;
        turned[k] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
    }
    std::vector<kiss_fft_cpx> out(size);
    inverse_fft(*sh.plans, turned, out);
    std::vector<double> h(sh.count, 0.0);
    for (std::size_t i = 0; i < sh.length; ++i) {
        h[sh.first + i] = out[i].r / static_cast<double>(size);
    }
    return h;
}

struct kernels {
    // From the whole extracted response, for the main response and its tails:
    std::vector<double> a0;  // (h(t - Dh) + h(t + Dh)) / 2
    std::vector<double> da;  // change of a0 when the transition before moves this one Dn earlier
    // From the response near its peak only, for the echoes; so that nothing
    // far from the main response can echo again:
    std::vector<double> b0;       // (h(t - Dh) - h(t + Dh)) / 2
    std::vector<double> db;       // change of b0 when the transition before moves this one
    std::vector<double> da_echo;  // da, of the response near its peak
    std::vector<double> h;        // the response near its peak
    std::vector<double> dh;       // its slope
};

// The extracted response, whole and near its peak, ready to be shifted.
struct response {
    shifter whole;
    shifter near;
    std::vector<double> near_h;
    std::vector<double> near_slope;
};

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

// Transform plans for the whole segment and for the part near the peak.
struct plan_pair {
    fft_plans extract;  // twice the segment, so that undoing the level change cannot wrap
    fft_plans whole;
    fft_plans near;
};

plan_pair make_plans(std::size_t count, std::int64_t rate)
{
    const auto room = static_cast<std::size_t>(shift_room_bits * rate);
    return {plan_fft(padded_size(count)), plan_fft(shift_size(count, room)),
            plan_fft(shift_size(near_part(count, rate).second, room))};
}

response make_response(const std::vector<double>& h, std::int64_t rate, const plan_pair& plans)
{
    std::vector<double> near = near_peak(h, rate);
    const auto [first, length] = near_part(h.size(), rate);
    response r{make_shifter(h, 0, h.size(), rate, plans.whole),
               make_shifter(near, first, length, rate, plans.near),
               std::move(near),
               {}};
    r.near_slope = shifted(r.near, 0.0, true);
    return r;
}

// h(t - Dh), h(t + Dh) and the same when the transition before moves this one Dn earlier.
struct shifted_four {
    std::vector<double> late;
    std::vector<double> early;
    std::vector<double> late_moved;
    std::vector<double> early_moved;
};

shifted_four shift_four(const shifter& sh, double dh, double dn)
{
    return {shifted(sh, dh), shifted(sh, -dh), shifted(sh, dh - dn), shifted(sh, -dh - dn)};
}

// The kernels the main response needs, from the whole response.
void main_kernels(kernels& k, const response& r, double dh, double dn)
{
    const shifted_four v = shift_four(r.whole, dh, dn);
    k.a0.resize(v.late.size());
    k.da.resize(v.late.size());
    for (std::size_t i = 0; i < v.late.size(); ++i) {
        k.a0[i] = (v.late[i] + v.early[i]) / 2;
        k.da[i] = (v.late_moved[i] + v.early_moved[i]) / 2 - k.a0[i];
    }
}

// The kernels the echoes need, from the response near its peak.
void echo_kernels(kernels& k, const response& r, double dh, double dn)
{
    const shifted_four v = shift_four(r.near, dh, dn);
    k.b0.resize(v.late.size());
    k.db.resize(v.late.size());
    k.da_echo.resize(v.late.size());
    for (std::size_t i = 0; i < v.late.size(); ++i) {
        const double a0 = (v.late[i] + v.early[i]) / 2;
        k.b0[i] = (v.late[i] - v.early[i]) / 2;
        k.da_echo[i] = (v.late_moved[i] + v.early_moved[i]) / 2 - a0;
        k.db[i] = (v.late_moved[i] - v.early_moved[i]) / 2 - k.b0[i];
    }
}

kernels make_kernels(const response& r, double dh, double dn)
{
    kernels k;
    main_kernels(k, r, dh, dn);
    echo_kernels(k, r, dh, dn);
    k.h = r.near_h;
    k.dh = r.near_slope;
    return k;
}

struct term {
    const std::vector<double>* kernel;
    std::int64_t offset;  // bits from the main response's transition
    double weight;
    owner part;
};

// Where each effect's product of levels lands in the correlation, in whole bits
// from the main response's transition.
struct places {
    std::int64_t hts = 0;
    std::int64_t nlts = 0;
    std::int64_t second = 0;
    std::int64_t interaction = 0;
};

struct fit_state {
    double dh = 0;
    double dn = 0;
    bool free_h = false;
    bool free_n = false;
    bool free_second = false;
    bool free_interaction = false;
    std::array<double, 2> second{};       // second-adjacent echo: weights of h and its slope
    std::array<double, 2> interaction{};  // the same at the interaction location
    std::array<double, 2> hts_rough{};    // HTS and NLTS echoes that are not separable,
    std::array<double, 2> nlts_rough{};   // sized the same way
};

// The correlation the channel model predicts, term by term. A transition's
// level change (a_k - a_(k-1)) / 2 gives the main response; the products of
// neighbouring levels that HTS and NLTS bring are the pattern itself shifted,
// so each lands at its echo location.
std::vector<term> model_terms(const kernels& k, const places& at, const fit_state& fit)
{
    constexpr double half = 0.5;
    constexpr double quarter = 0.25;
    return {
        {&k.a0, 0, half, main_response},
        {&k.a0, 1, -half, main_response},
        {&k.da, 0, quarter, main_response},
        {&k.da, 1, -quarter, main_response},
        {&k.da, 2, quarter, main_response},
        {&k.b0, at.hts, half, hts},
        {&k.db, at.hts, quarter, hts},
        {&k.db, at.hts + 1, quarter, hts},
        {&k.da_echo, at.nlts, -quarter, nlts},
        {&k.db, at.interaction, -quarter, interaction},
        {&k.h, at.second, fit.second[0], second_adjacent},
        {&k.dh, at.second, fit.second[1], second_adjacent},
        {&k.h, at.interaction, fit.interaction[0], interaction},
        {&k.dh, at.interaction, fit.interaction[1], interaction},
        {&k.h, at.hts, fit.hts_rough[0], hts},
        {&k.dh, at.hts, fit.hts_rough[1], hts},
        {&k.h, at.nlts, fit.nlts_rough[0], nlts},
        {&k.dh, at.nlts, fit.nlts_rough[1], nlts},
    };
}

// The terms' value s samples from the main response's transition, over the
// parts selected by `parts` (a bit per owner).
double evaluate(const std::vector<term>& terms, const frame& f, std::int64_t s, unsigned parts)
{
    const auto n = static_cast<std::int64_t>(f.c.size());
    const std::int64_t half_segment = f.segment * f.rate;
    double value = 0;
    for (const term& t : terms) {
        if ((parts & (1U << t.part)) == 0 || t.weight == 0) {
            continue;
        }
        const std::int64_t i = wrap(s - t.offset * f.rate, n) + half_segment;
        if (i >= 0 && i < static_cast<std::int64_t>(t.kernel->size())) {
            value += t.weight * (*t.kernel)[static_cast<std::size_t>(i)];
        }
    }
    return value;
}

constexpr unsigned all_parts = 0x1FU;

unsigned only(owner part)
{
    return 1U << part;
}

// The per-phase mean the terms add over one period, which the correlation lacks.
std::vector<double> phase_means(const std::vector<term>& terms, const frame& f, unsigned parts)
{
    std::vector<double> means(static_cast<std::size_t>(f.rate), 0.0);
    for (const term& t : terms) {
        if ((parts & (1U << t.part)) == 0 || t.weight == 0) {
            continue;
        }
        auto phase = static_cast<std::size_t>(f.origin % f.rate);
        for (const double v : *t.kernel) {
            means[phase] += t.weight * v / static_cast<double>(f.length);
            phase = phase + 1 == means.size() ? 0 : phase + 1;
        }
    }
    return means;
}

double phase_mean(const std::vector<double>& means, const frame& f, std::int64_t s)
{
    return means[static_cast<std::size_t>((((f.origin + s) % f.rate) + f.rate) % f.rate)];
}

std::int64_t segment_samples(const frame& f)
{
    return 2 * f.segment * f.rate;
}

// From the edge of an echo's hole outward, h is replaced by a tail a/t^2 + b/t^3
// (t from the main transition) fitted to the flank just inside the edge, so
// that nothing of an echo, nor of its misfit, can pass itself off as part of
// the transition response: beyond the edge h is the main response's own
// continuation. A response's tails fall off as such powers of t; one that
// falls faster leaves both weights near zero.
void fill_hole(std::vector<double>& h, const frame& f, std::int64_t from, std::int64_t to)
{
    const bool after = from > 0;
    const std::int64_t edge = ((after ? from : to) + f.segment) * f.rate;
    const std::int64_t flank = flank_bits * f.rate;
    const std::int64_t lo = after ? edge - flank : edge;
    const std::int64_t hi = after ? edge : edge + flank;
    const auto n = static_cast<std::int64_t>(h.size());
    if (lo < 0 || hi > n) {
        return;
    }
    const double origin = static_cast<double>(f.segment * f.rate);
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

// An echo's place in the extracted response, in bits from the main transition.
struct hole {
    std::int64_t from;
    std::int64_t to;
};

// Transfer function from the transition response to the main response at w
// radians per bit: (1 - z)/2 cos(w Dh) + (1 - z + z^2)/4 (e^(i w Dn) - 1) cos(w Dh), z = e^(-i w).
std::complex<double> main_transfer(double w, double dh, double dn)
{
    const std::complex<double> z = std::polar(1.0, -w);
    const std::complex<double> moved = std::polar(1.0, w * dn) - 1.0;
    constexpr double half = 0.5;
    constexpr double quarter = 0.25;
    return ((1.0 - z) * half + (1.0 - z + z * z) * quarter * moved) * std::cos(w * dh);
}

// The highest frequency bin at which the main response still stands clear of
// the noise, judged by the noise floor of the band's top fifth: beyond it, h
// holds nothing but noise that its extraction would amplify.
double signal_band(const std::vector<kiss_fft_cpx>& spectrum)
{
    const std::size_t half = spectrum.size() / 2;
    constexpr double top_share = 0.8;
    const auto top = static_cast<std::size_t>(top_share * static_cast<double>(half));
    std::vector<double> floor;
    for (std::size_t k = top; k < half; ++k) {
        floor.push_back(std::abs(std::complex<double>(spectrum[k].r, spectrum[k].i)));
    }
    std::nth_element(floor.begin(), floor.begin() + static_cast<std::ptrdiff_t>(floor.size() / 2),
                     floor.end());
    const double noise = floor[floor.size() / 2];
    constexpr double clear_of_noise = 4.0;
    std::size_t band = 1;
    for (std::size_t k = 1; k < half; ++k) {
        if (std::abs(std::complex<double>(spectrum[k].r, spectrum[k].i)) > clear_of_noise * noise) {
            band = k;
        }
    }
    return static_cast<double>(band);
}

// 1 up to the band, falling to 0 over the next fifth of it.
double band_taper(double bin, double band)
{
    constexpr double roll_off = 0.2;
    const double x = std::clamp((bin - band) / (roll_off * band), 0.0, 1.0);
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

// The transition response h from the main response, once what the model says
// the echoes add has been taken off. The main response shows nothing of h at
// whole multiples of the bit rate (h and h one bit later cancel there), so the
// division by the transfer function is regularised rather than exact.
std::vector<double> extract_response(const frame& f, const std::vector<term>& terms,
                                     const fit_state& fit, const std::vector<hole>& holes,
                                     const fft_plans& plans)
{
    const std::int64_t n = segment_samples(f);
    const std::int64_t half_segment = n / 2;
    const unsigned echoes = all_parts & ~only(main_response);
    const std::vector<double> means = phase_means(terms, f, echoes);
    const std::size_t size = plans.size;
    std::vector<kiss_fft_cpx> main(size, kiss_fft_cpx{0.0F, 0.0F});
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t s = i - half_segment;
        double g = sample(f, s);
        if (!terms.empty()) {
            g -= evaluate(terms, f, s, echoes) - phase_mean(means, f, s);
        }
        main[static_cast<std::size_t>(i)].r = static_cast<float>(g);
    }
    std::vector<kiss_fft_cpx> spectrum(size);
    forward_fft(plans, main, spectrum);
    const double band = signal_band(spectrum);
    for (std::size_t k = 0; k < size; ++k) {
        const double w = 2 * std::numbers::pi * signed_bin(k, size) * static_cast<double>(f.rate)
                         / static_cast<double>(size);
        const std::complex<double> t = main_transfer(w, fit.dh, fit.dn);
        const std::complex<double> v = std::complex<double>(spectrum[k].r, spectrum[k].i)
                                       * std::conj(t) / (std::norm(t) + regularisation_at(w))
                                       * band_taper(std::abs(signed_bin(k, size)), band)
                                       / static_cast<double>(size);
        spectrum[k] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
    }
    inverse_fft(plans, spectrum, main);
    std::vector<double> h(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < h.size(); ++i) {
        h[i] = main[i].r;
    }
    // Level the far tails to zero: h's mean is not seen in the correlation.
    const auto edge = static_cast<std::size_t>(level_bits * f.rate);
    const double left =
        std::accumulate(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(edge), 0.0)
        / static_cast<double>(edge);
    const double right = std::accumulate(h.end() - static_cast<std::ptrdiff_t>(edge), h.end(), 0.0)
                         / static_cast<double>(edge);
    for (std::size_t i = 0; i < h.size(); ++i) {
        h[i] -= left + (right - left) * static_cast<double>(i) / static_cast<double>(h.size() - 1);
    }
    for (const hole& gap : holes) {
        fill_hole(h, f, gap.from, gap.to);
    }
    return h;
}

struct reach_set {
    double main = 0;
    double echo = 0;
};

// How far the main response and an echo reach, in bits from their centres.
reach_set reaches(const frame& f, const kernels& k, const std::vector<term>& terms)
{
    const std::int64_t half_segment = f.segment * f.rate;
    std::vector<double> main(k.h.size());
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(main.size()); ++i) {
        main[static_cast<std::size_t>(i)] =
            evaluate(terms, f, i - half_segment, only(main_response));
    }
    // Walks out from the response's highest and lowest points while it stays
    // above the fraction of its peak: what lies beyond a gap is not its own.
    const auto reach_of = [&](const std::vector<double>& v, double centre) {
        const auto [low, high] = std::minmax_element(v.begin(), v.end());
        const double limit = reach_fraction * std::max(std::abs(*low), std::abs(*high));
        auto first = std::min(low, high);
        auto last = std::max(low, high);
        while (first != v.begin() && std::abs(*(first - 1)) >= limit) {
            --first;
        }
        while (last + 1 != v.end() && std::abs(*(last + 1)) >= limit) {
            ++last;
        }
        const auto time = [&](auto at) {
            return static_cast<double>((at - v.begin()) - half_segment)
                   / static_cast<double>(f.rate);
        };
        return std::max(centre - time(first), time(last) - centre);
    };
    return {reach_of(main, main_centre), reach_of(k.dh, 0.0)};
}

double circular_distance(double a, double b, double length)
{
    const double d = std::fmod(std::abs(a - b), length);
    return std::min(d, length - d);
}

constexpr std::array<const char*, 4> effect_keys{"hts", "nlts", "second_adjacent", "interaction"};

// Centres of the four echoes, in bits from the main response's transition.
std::array<double, 4> echo_centres(const places& at)
{
    constexpr double half = 0.5;
    return {static_cast<double>(at.hts) + half, static_cast<double>(at.nlts),
            static_cast<double>(at.second), static_cast<double>(at.interaction)};
}

// Decides which echoes stand clear of the main response and of each other.
void decide_separable(std::array<echo_result, 4>& echoes, const places& at, const reach_set& r,
                      double length)
{
    constexpr double hts_span = 0.5;
    const std::array<double, 4> centres = echo_centres(at);
    const std::array<double, 4> reach{r.echo + hts_span, r.echo, r.echo, r.echo};
    for (std::size_t x = 0; x < echoes.size(); ++x) {
        // Below order 7 the period leaves too little room beside the main response
        // for the response to be extracted clear of the echoes, whatever its width.
        echoes.at(x).separable = length >= shortest_separable_period;
        if (!echoes.at(x).separable) {
            echoes.at(x).reach =
                "the main response in a period this short (order 7 and up leave room)";
            continue;
        }
        if (circular_distance(centres.at(x), main_centre, length) < r.main + reach.at(x)) {
            echoes.at(x).separable = false;
            echoes.at(x).reach = "the main response";
            continue;
        }
        for (std::size_t y = 0; y < echoes.size(); ++y) {
            if (y != x
                && circular_distance(centres.at(x), centres.at(y), length)
                       < reach.at(x) + reach.at(y)) {
                echoes.at(x).separable = false;
                echoes.at(x).reach = std::string("the ") + effect_titles.at(y) + " echo";
                break;
            }
        }
    }
}

std::vector<std::int64_t> window_samples(const frame& f, std::int64_t from, std::int64_t to)
{
    std::vector<std::int64_t> s;
    for (std::int64_t i = (from - window_bits) * f.rate; i < (to + window_bits) * f.rate; ++i) {
        s.push_back(i);
    }
    return s;
}

// Residuals of the model over the samples `at`, with the kernels as they stand.
std::vector<double> model_residuals(const frame& f, const kernels& k, const places& p,
                                    const fit_state& fit, const std::vector<std::int64_t>& at)
{
    const std::vector<term> terms = model_terms(k, p, fit);
    const std::vector<double> means = phase_means(terms, f, all_parts);
    std::vector<double> r(at.size());
    for (std::size_t i = 0; i < at.size(); ++i) {
        r[i] =
            sample(f, at[i]) - evaluate(terms, f, at[i], all_parts) + phase_mean(means, f, at[i]);
    }
    return r;
}

// Residuals of the model over the samples `at`, with the echo kernels made
// anew for the shifts in `fit` and the main response's held as they are.
std::vector<double> residuals(const frame& f, const response& sh, kernels& k, const places& p,
                              const fit_state& fit, const std::vector<std::int64_t>& at)
{
    echo_kernels(k, sh, fit.dh, fit.dn);
    return model_residuals(f, k, p, fit, at);
}

// Gauss-Newton steps on the free shifts, the transition response held fixed.
void fit_shifts(const frame& f, const response& sh, kernels& k, const places& p, fit_state& fit,
                const std::vector<std::int64_t>& at)
{
    for (int step = 0; step < newton_steps; ++step) {
        std::array<std::vector<double>, 2> jacobian;
        const std::vector<double> r = residuals(f, sh, k, p, fit, at);
        for (std::size_t q = 0; q < 2; ++q) {
            const bool free = q == 0 ? fit.free_h : fit.free_n;
            jacobian.at(q).assign(r.size(), 0.0);
            if (!free) {
                continue;
            }
            fit_state moved = fit;
            (q == 0 ? moved.dh : moved.dn) += derivative_step;
            const std::vector<double> rm = residuals(f, sh, k, p, moved, at);
            for (std::size_t i = 0; i < r.size(); ++i) {
                jacobian.at(q)[i] = (rm[i] - r[i]) / derivative_step;
            }
        }
        // Solve (J'J) delta = -J'r for the two shifts; a fixed shift has a zero column.
        std::array<double, 3> jj{};
        std::array<double, 2> jr{};
        for (std::size_t i = 0; i < r.size(); ++i) {
            jj[0] += jacobian[0][i] * jacobian[0][i];
            jj[1] += jacobian[0][i] * jacobian[1][i];
            jj[2] += jacobian[1][i] * jacobian[1][i];
            jr[0] += jacobian[0][i] * r[i];
            jr[1] += jacobian[1][i] * r[i];
        }
        const double a = jj[0] > 0 ? jj[0] : 1.0;
        const double d = jj[2] > 0 ? jj[2] : 1.0;
        const double det = a * d - jj[1] * jj[1];
        if (det <= 0) {
            return;
        }
        const double step_h = -(d * jr[0] - jj[1] * jr[1]) / det;
        const double step_n = -(a * jr[1] - jj[1] * jr[0]) / det;
        fit.dh = std::clamp(fit.dh + step_h, -max_shift, max_shift);
        fit.dn = std::clamp(fit.dn + step_n, -max_shift, max_shift);
        if (std::abs(step_h) + std::abs(step_n) < converged) {
            return;
        }
    }
}

// Least-squares weights of h and its slope for an echo of unknown cause at `place`.
std::array<double, 2> fit_generic(const frame& f, const kernels& k, const std::vector<term>& rest,
                                  std::int64_t place)
{
    const std::vector<double> means = phase_means(rest, f, all_parts);
    const std::vector<term> shape{{&k.h, place, 1.0, main_response}};
    const std::vector<term> slope{{&k.dh, place, 1.0, main_response}};
    std::array<double, 3> bb{};
    std::array<double, 2> by{};
    for (const std::int64_t s : window_samples(f, place, place + 1)) {
        const double y = sample(f, s) - evaluate(rest, f, s, all_parts) + phase_mean(means, f, s);
        const double u = evaluate(shape, f, s, all_parts);
        const double v = evaluate(slope, f, s, all_parts);
        bb[0] += u * u;
        bb[1] += u * v;
        bb[2] += v * v;
        by[0] += u * y;
        by[1] += v * y;
    }
    const double det = bb[0] * bb[2] - bb[1] * bb[1];
    if (det <= 0) {
        return {0.0, 0.0};
    }
    return {(bb[2] * by[0] - bb[1] * by[1]) / det, (bb[0] * by[1] - bb[1] * by[0]) / det};
}

std::int64_t place_of(double location, std::int64_t length)
{
    const auto p = static_cast<std::int64_t>(std::llround(location + 0.5));
    return wrap(p, length);
}

double peak_to_peak(const std::vector<term>& terms, const frame& f, unsigned parts,
                    const std::vector<std::int64_t>& at)
{
    double lo = 0;
    double hi = 0;
    for (const std::int64_t s : at) {
        const double v = evaluate(terms, f, s, parts);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    return hi - lo;
}

std::vector<std::int64_t> echo_window(const frame& f, const places& p, std::size_t echo)
{
    const std::array<std::int64_t, 4> at{p.hts, p.nlts, p.second, p.interaction};
    const std::int64_t extra = echo == 0 ? 1 : 0;
    return window_samples(f, at.at(echo), at.at(echo) + extra);
}

constexpr std::array<owner, 4> echo_parts{hts, nlts, second_adjacent, interaction};

void fill_plot(measurement& m, const frame& f, const std::vector<term>& terms, const places& p,
               const std::string& title)
{
    const auto n = static_cast<std::int64_t>(f.c.size());
    const auto rate = static_cast<double>(f.rate);
    m.plot.title = title;
    for (std::int64_t s = -n / 2; s < n - n / 2; ++s) {
        m.plot.t.push_back(static_cast<double>(s) / rate - main_centre);
        m.plot.correlation.push_back(sample(f, s));
    }
    const std::vector<double> means = phase_means(terms, f, all_parts);
    for (std::size_t e = 0; e < m.echoes.size(); ++e) {
        plot_echo& panel = m.plot.echoes.at(e);
        panel.label = effect_titles.at(e);
        panel.location = m.echoes.at(e).location;
        panel.separable = m.echoes.at(e).separable;
        const unsigned self = only(echo_parts.at(e));
        for (const std::int64_t s : echo_window(f, p, e)) {
            panel.t.push_back(static_cast<double>(s) / rate - main_centre);
            panel.measured.push_back(sample(f, s) - evaluate(terms, f, s, all_parts & ~self)
                                     + phase_mean(means, f, s));
            panel.model.push_back(evaluate(terms, f, s, self));
        }
    }
}

// The terms over one whole period, less their per-phase means, as the correlation is.
std::vector<double> render(const std::vector<term>& terms, const frame& f, unsigned parts)
{
    const auto n = static_cast<std::int64_t>(f.c.size());
    std::vector<double> model(f.c.size(), 0.0);
    for (const term& t : terms) {
        if ((parts & (1U << t.part)) == 0 || t.weight == 0) {
            continue;
        }
        const auto size = static_cast<std::int64_t>(t.kernel->size());
        // Kernels longer than the period wrap onto it as the correlation does.
        std::int64_t at = (((f.origin + (t.offset - f.segment) * f.rate) % n) + n) % n;
        for (std::int64_t i = 0; i < size; ++i) {
            model[static_cast<std::size_t>(at)] +=
                t.weight * (*t.kernel)[static_cast<std::size_t>(i)];
            at = at + 1 == n ? 0 : at + 1;
        }
    }
    const std::vector<double> means = phase_means(terms, f, parts);
    for (std::int64_t j = 0; j < n; ++j) {
        model[static_cast<std::size_t>(j)] -= means[static_cast<std::size_t>(j % f.rate)];
    }
    return model;
}

// The main response's peak over the spread of what the model leaves unexplained.
double snr_of(double main_peak, double noise)
{
    if (noise <= 0) {
        return max_snr_db;
    }
    return std::min(max_snr_db, decibels_per_decade * std::log10(main_peak * main_peak / noise));
}

// The share of an HTS or NLTS echo the fitted model leaves unexplained, beyond
// what noise would: the root mean square of the residual over its window, less
// a margin for the noise, over the peak-to-peak size of the echo as measured
// (the correlation less every other part of the model).
double misfit_of(const frame& f, const std::vector<term>& terms,
                 const std::vector<std::int64_t>& window, unsigned part, double noise,
                 double main_size)
{
    const std::vector<double> means = phase_means(terms, f, all_parts);
    double sum = 0;
    double lo = 0;
    double hi = 0;
    for (const std::int64_t s : window) {
        const double others = evaluate(terms, f, s, all_parts & ~part) - phase_mean(means, f, s);
        const double echo = sample(f, s) - others;
        const double r = echo - evaluate(terms, f, s, part);
        sum += r * r;
        lo = std::min(lo, echo);
        hi = std::max(hi, echo);
    }
    const double rms = std::sqrt(sum / static_cast<double>(window.size()));
    const double beyond_noise = rms - noise_margin * std::sqrt(noise);
    // An echo too small to see is judged against the smallest size worth a shift.
    const double size = std::max(hi - lo, smallest_judged_echo * main_size);
    return size > 0 && beyond_noise > 0 ? beyond_noise / size : 0.0;
}

// The mean square of what the model leaves unexplained away from the main
// response and the echoes, where only noise should be; over the whole period
// when the period holds no such place.
double noise_power(const frame& f, const std::vector<term>& terms, const places& p)
{
    const std::vector<double> model = render(terms, f, all_parts);
    const auto n = static_cast<std::int64_t>(model.size());
    std::vector<bool> busy(model.size(), false);
    const auto mark = [&](std::int64_t from, std::int64_t to) {
        for (std::int64_t s = from; s < to; ++s) {
            busy[static_cast<std::size_t>((((f.origin + s) % n) + n) % n)] = true;
        }
    };
    mark(-f.segment * f.rate, f.segment * f.rate);
    for (const std::int64_t at : {p.hts, p.nlts, p.second, p.interaction}) {
        mark((at - window_bits) * f.rate, (at + window_bits + 2) * f.rate);
    }
    double quiet = 0;
    double all = 0;
    std::int64_t count = 0;
    for (std::size_t j = 0; j < model.size(); ++j) {
        const double r2 = (f.c[j] - model[j]) * (f.c[j] - model[j]);
        all += r2;
        if (!busy[j]) {
            quiet += r2;
            ++count;
        }
    }
    return count > 0 ? quiet / static_cast<double>(count) : all / static_cast<double>(n);
}

// The echoes of unknown cause, fitted only where they stand clear.
void fit_unknown_causes(const frame& f, const kernels& k, const places& p, fit_state& fit)
{
    fit_state rest = fit;
    rest.second = {0.0, 0.0};
    if (fit.free_second) {
        fit.second = fit_generic(f, k, model_terms(k, p, rest), p.second);
    }
    rest = fit;
    rest.interaction = {0.0, 0.0};
    if (fit.free_interaction) {
        fit.interaction = fit_generic(f, k, model_terms(k, p, rest), p.interaction);
    }
}

// Holes in the extracted response where the separable echoes would echo again.
// Only a hole's edge toward the main response counts (fill_hole replaces h from
// there outward), and the flank inside that edge must lie clear of the main
// response: near it the hole narrows, and where even the narrowest would not
// clear it, there is none.
std::vector<hole> echo_holes(std::array<echo_result, 4>& echoes, const places& p,
                             const reach_set& reach, std::int64_t segment)
{
    std::vector<hole> holes;
    const std::array<std::int64_t, 4> at{p.hts, p.nlts, p.second, p.interaction};
    for (std::size_t e = 0; e < at.size(); ++e) {
        // The HTS echo spans two bits: its own and the one after.
        const std::int64_t span = e == 0 ? 2 : 1;
        bool made = false;
        for (std::int64_t width = hole_bits; width > 0 && echoes.at(e).separable && !made;
             --width) {
            const hole gap{at.at(e) - width, at.at(e) + width + span};
            const double nearest =
                std::min(std::abs(static_cast<double>(gap.from - flank_bits) - main_centre),
                         std::abs(static_cast<double>(gap.to + flank_bits) - main_centre));
            const bool across = gap.from - flank_bits < 0 && gap.to + flank_bits > 0;
            if (!across && nearest >= reach.main + hole_clearance) {
                holes.push_back(gap);
                made = true;
            }
        }
        // An echo within the segment that no hole can keep out of the extracted
        // response would be taken for part of it: it cannot be measured apart.
        const bool inside =
            static_cast<double>(std::abs(at.at(e))) < static_cast<double>(segment) + reach.echo;
        if (echoes.at(e).separable && inside && !made) {
            echoes.at(e).separable = false;
            echoes.at(e).reach = "the main response";
        }
    }
    return holes;
}

// The samples the HTS and NLTS shifts are fitted over: their separable echoes.
std::vector<std::int64_t> shift_samples(const frame& f, const std::array<echo_result, 4>& echoes,
                                        const places& p)
{
    std::vector<std::int64_t> samples;
    for (std::size_t e = 0; e < 2; ++e) {
        if (echoes.at(e).separable) {
            const std::vector<std::int64_t> w = echo_window(f, p, e);
            samples.insert(samples.end(), w.begin(), w.end());
        }
    }
    return samples;
}

// How well a round's model explains the echoes it fits: the sum of squared
// residuals over their windows, the kernels already made for the round's shifts.
double round_misfit(const frame& f, const kernels& k, const places& p, const fit_state& fit,
                    const std::vector<std::int64_t>& window)
{
    const std::vector<double> r = model_residuals(f, k, p, fit, window);
    return std::inner_product(r.begin(), r.end(), r.begin(), 0.0);
}

// Rounds of fit and subtract: the response from the main response less the
// echoes, then the shifts and the echoes of unknown cause from that response,
// until the shifts settle. Returns the kernels at the final shifts.
kernels fit_rounds_of(const frame& f, const places& p, fit_state& fit,
                      const std::vector<hole>& holes, const std::vector<std::int64_t>& shift_window,
                      const plan_pair& plans)
{
    response sh;
    kernels k;
    // Fit and subtract settles in a few rounds; where an echo stands close to the
    // main response it can instead wander off, so the round that explained the
    // echoes best is the one kept.
    fit_state best = fit;
    double best_misfit = std::numeric_limits<double>::infinity();
    std::vector<double> best_h;
    for (int round = 0; round < fit_rounds; ++round) {
        // Only the echoes the channel model explains are taken off: an echo of
        // unknown cause near the main response would otherwise trade its size
        // against the response's tail.
        fit_state modelled = fit;
        modelled.second = {0.0, 0.0};
        modelled.interaction = {0.0, 0.0};
        const std::vector<double> h =
            extract_response(f, round == 0 ? std::vector<term>{} : model_terms(k, p, modelled), fit,
                             holes, plans.extract);
        sh = make_response(h, f.rate, plans);
        const double before_h = fit.dh;
        const double before_n = fit.dn;
        // The main response's kernels follow the shifts a round late; by the
        // last round the shifts no longer move.
        k = make_kernels(sh, fit.dh, fit.dn);
        if (!shift_window.empty()) {
            fit_shifts(f, sh, k, p, fit, shift_window);
            echo_kernels(k, sh, fit.dh, fit.dn);
        }
        fit_unknown_causes(f, k, p, fit);
        if (!shift_window.empty()) {
            const double misfit = round_misfit(f, k, p, fit, shift_window);
            if (misfit < best_misfit) {
                best_misfit = misfit;
                best = fit;
                best_h = h;
            }
        }
        if (round >= 2 && std::abs(fit.dh - before_h) + std::abs(fit.dn - before_n) < converged) {
            break;
        }
    }
    if (!best_h.empty()) {
        fit = best;
        sh = make_response(best_h, f.rate, plans);
    }
    return make_kernels(sh, fit.dh, fit.dn);
}

// Sizes, shifts and the signal-to-noise ratio from the fitted model.
void report_fit(measurement& m, const frame& f, const places& p, const std::vector<term>& terms,
                const fit_state& fit)
{
    std::vector<std::int64_t> main_window;
    for (std::int64_t s = -f.segment * f.rate; s < f.segment * f.rate; ++s) {
        main_window.push_back(s);
    }
    const double main_size = peak_to_peak(terms, f, only(main_response), main_window);
    const double noise = noise_power(f, terms, p);
    for (std::size_t e = 0; e < m.echoes.size(); ++e) {
        echo_result& echo = m.echoes.at(e);
        const std::vector<std::int64_t> window = echo_window(f, p, e);
        const double size = peak_to_peak(terms, f, only(echo_parts.at(e)), window);
        echo.size = main_size > 0 ? size / main_size : 0.0;
        if (e < 2 && echo.separable) {
            // A shift is given only where the model explains the echo it came from.
            const double misfit =
                misfit_of(f, terms, window, only(echo_parts.at(e)), noise, main_size);
            if (misfit > misfit_limit) {
                echo.separable = false;
                echo.misfit = misfit;
            } else {
                echo.shift = e == 0 ? fit.dh : fit.dn;
            }
        }
    }
    double main_peak = 0;
    for (const std::int64_t s : main_window) {
        main_peak = std::max(main_peak, std::abs(evaluate(terms, f, s, only(main_response))));
    }
    m.snr_db = snr_of(main_peak, noise);
}

// The echoes as keldran names and places them, and where each lands in the correlation.
places place_echoes(const polynomial& poly, std::array<echo_result, 4>& echoes, std::int64_t length)
{
    const echo_set locations = pattern_echoes(poly);
    const std::array<double, 4> located{locations.hts, locations.nlts, locations.second_adjacent,
                                        locations.interaction};
    for (std::size_t e = 0; e < echoes.size(); ++e) {
        echoes.at(e).effect = effect_keys.at(e);
        echoes.at(e).location = located.at(e);
    }
    return {place_of(locations.hts, length), place_of(locations.nlts, length),
            place_of(locations.second_adjacent, length), place_of(locations.interaction, length)};
}

}  // namespace

measurement measure_period(const polynomial& poly, std::span<const double> period,
                           std::int32_t rate, bool with_plot)
{
    measurement m;
    const std::vector<std::int32_t> bits = pattern_bits(poly);
    const auto length = static_cast<std::int64_t>(bits.size());
    frame f{correlate(bits, poly.order, period, rate), length, rate, 0,
            std::min(max_segment_bits, length / 4)};
    find_main(f);
    // In a period of 15 bits or fewer any response fills most of it, so there the
    // share says nothing about the pattern.
    const double share = main_share(f);
    if (f.length >= shortest_checked_period && share < share_needed(f)) {
        m.error =
            "the capture does not hold the pattern of " + polynomial_text(poly)
            + ": its correlation with the pattern has no main response (the strongest peak holds "
            + std::to_string(static_cast<int>(std::lround(share * percent))) + " % of the energy)";
        return m;
    }
    const places p = place_echoes(poly, m.echoes, f.length);
    fit_state fit;
    const plan_pair plans = make_plans(static_cast<std::size_t>(segment_samples(f)), f.rate);
    // The reaches come from a first response, taken before any echo is known.
    const kernels first = make_kernels(
        make_response(extract_response(f, {}, fit, {}, plans.extract), f.rate, plans), 0.0, 0.0);
    const reach_set reach = reaches(f, first, model_terms(first, p, fit));
    decide_separable(m.echoes, p, reach, static_cast<double>(f.length));
    const std::vector<hole> holes = echo_holes(m.echoes, p, reach, f.segment);
    fit.free_h = m.echoes[0].separable;
    fit.free_n = m.echoes[1].separable;
    fit.free_second = m.echoes[2].separable;
    fit.free_interaction = m.echoes[3].separable;
    const kernels k = fit_rounds_of(f, p, fit, holes, shift_samples(f, m.echoes, p), plans);
    // An echo in the reach of another response gets no shift, only a rough size,
    // fitted like the echoes of unknown cause.
    // Each echo that is not separable gets a rough size alone, the others as fitted.
    const fit_state fitted = fit;
    if (!m.echoes[0].separable) {
        fit.hts_rough = fit_generic(f, k, model_terms(k, p, fitted), p.hts);
    }
    if (!m.echoes[1].separable) {
        fit.nlts_rough = fit_generic(f, k, model_terms(k, p, fitted), p.nlts);
    }
    if (!m.echoes[2].separable) {
        fit.second = fit_generic(f, k, model_terms(k, p, fitted), p.second);
    }
    if (!m.echoes[3].separable) {
        fit.interaction = fit_generic(f, k, model_terms(k, p, fitted), p.interaction);
    }
    const std::vector<term> terms = model_terms(k, p, fit);
    report_fit(m, f, p, terms, fit);
    if (with_plot) {
        fill_plot(m, f, terms, p, polynomial_text(poly));
    }
    return m;
}

}  // namespace keldran::echo
