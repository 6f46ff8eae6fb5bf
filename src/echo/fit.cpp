#include "fit.h"

#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>

namespace keldran::echo {

namespace {

// Bits each side of the main response over which the transition response is
// extracted and every echo is modelled.
constexpr std::int64_t max_segment_bits = 40;
// Bits each side of an echo over which it is fitted and drawn.
constexpr std::int64_t window_bits = 4;
// Bits of a hole left for an echo in the extracted response, and of the flanks it is filled from.
constexpr std::int64_t hole_bits = 3;
constexpr std::int64_t flank_bits = 3;
// A response reaches as far as it stays above this fraction of its peak.
constexpr double reach_fraction = 0.2;
// The main response must hold this share of the correlation's energy near it.
constexpr double pattern_share = 0.4;
constexpr std::int64_t pattern_window_bits = 16;
constexpr int fit_rounds = 12;
constexpr int newton_steps = 4;
constexpr double derivative_step = 1e-3;
constexpr double converged = 1e-7;
constexpr double max_shift = 0.45;
constexpr double decibels_per_decade = 10.0;
constexpr double max_snr_db = 200.0;
// Below this squared gain of the main response's transfer function, h is not recovered.
constexpr double regularisation = 1e-3;
// The echoes are modelled from the response within this many bits of its
// peak, fading out over the next taper_fade bits.
constexpr double taper_bits = 6.0;
constexpr double taper_fade = 2.0;

enum owner : std::uint8_t { main_response, hts, nlts, second_adjacent, interaction };

struct frame {
    std::vector<double> c;  // the correlation, one period
    std::int64_t length = 0;
    std::int64_t rate = 0;
    std::int64_t origin = 0;  // sample of the main response's transition
    std::int64_t segment = 0; // bits each side of it that the response is extracted over
};

std::int64_t wrap(std::int64_t s, std::int64_t n)
{
    const std::int64_t m = ((s % n) + n) % n;
    return m >= n - n / 2 ? m - n : m;  // into [-n/2, n/2)
}

double sample(const frame& f, std::int64_t s)
{
    const auto n = static_cast<std::int64_t>(f.c.size());
    return f.c[static_cast<std::size_t>((((f.origin + s) % n) + n) % n)];
}

// The correlation of the period with the pattern's levels, normalised so that
// a response h to each transition shows as (h(t) - h(t - 1)) / 2. Components
// that repeat every bit carry no information about the pattern and are removed.
std::vector<double> correlate(const std::vector<std::int32_t>& bits, std::span<const double> period)
{
    const std::size_t length = bits.size();
    const std::size_t n = period.size();
    const fft_plans bit_plans = plan_fft(length);
    const fft_plans plans = plan_fft(n);
    std::vector<kiss_fft_cpx> levels(length);
    std::vector<kiss_fft_cpx> level_spectrum(length);
    for (std::size_t i = 0; i < length; ++i) {
        levels[i] = {bits[i] != 0 ? 1.0F : -1.0F, 0.0F};
    }
    forward_fft(bit_plans, levels, level_spectrum);
    std::vector<kiss_fft_cpx> x(n);
    std::vector<kiss_fft_cpx> spectrum(n);
    for (std::size_t j = 0; j < n; ++j) {
        x[j] = {static_cast<float>(period[j]), 0.0F};
    }
    forward_fft(plans, x, spectrum);
    const double scale = 1.0 / (static_cast<double>(length + 1) * static_cast<double>(n));
    for (std::size_t k = 0; k < n; ++k) {
        const kiss_fft_cpx a = level_spectrum[k % length];
        const std::complex<double> product = std::conj(std::complex<double>(a.r, a.i))
                                             * std::complex<double>(spectrum[k].r, spectrum[k].i) * scale;
        spectrum[k] = k % length == 0 ? kiss_fft_cpx{0.0F, 0.0F}
                                      : kiss_fft_cpx{static_cast<float>(product.real()),
                                                     static_cast<float>(product.imag())};
    }
    inverse_fft(plans, spectrum, x);
    std::vector<double> c(n);
    std::transform(x.begin(), x.end(), c.begin(), [](const kiss_fft_cpx& v) { return double{v.r}; });
    return c;
}

// Finds the main response (where the transition response peaks) and turns an
// inverted capture upright.
void find_main(frame& f)
{
    const auto n = static_cast<std::int64_t>(f.c.size());
    double best = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double signature = f.c[static_cast<std::size_t>(j)] - f.c[static_cast<std::size_t>((j + f.rate) % n)];
        if (std::abs(signature) > std::abs(best)) {
            best = signature;
            f.origin = j;
        }
    }
    if (best < 0) {
        std::transform(f.c.begin(), f.c.end(), f.c.begin(), std::negate<>());
    }
}

// Share of the correlation's energy within a few bits of the main response.
double main_share(const frame& f)
{
    const std::int64_t reach = std::min(pattern_window_bits, f.length / 8) * f.rate;
    double near = 0;
    for (std::int64_t s = -reach; s <= reach + f.rate; ++s) {
        near += sample(f, s) * sample(f, s);
    }
    const double total = std::inner_product(f.c.begin(), f.c.end(), f.c.begin(), 0.0);
    return total > 0 ? near / total : 0.0;
}

// Shifts of the extracted transition response by fractions of a bit, through
// its spectrum; the response lies well inside its zero-padded segment.
struct shifter {
    fft_plans plans;
    std::vector<kiss_fft_cpx> spectrum;
    std::size_t count = 0;  // samples of the segment
    std::int64_t rate = 0;
};

shifter make_shifter(const std::vector<double>& h, std::int64_t rate)
{
    std::size_t size = 1;
    while (size < 2 * h.size()) {
        size *= 2;
    }
    shifter sh{plan_fft(size), std::vector<kiss_fft_cpx>(size), h.size(), rate};
    std::vector<kiss_fft_cpx> padded(size, kiss_fft_cpx{0.0F, 0.0F});
    for (std::size_t i = 0; i < h.size(); ++i) {
        padded[i].r = static_cast<float>(h[i]);
    }
    forward_fft(sh.plans, padded, sh.spectrum);
    return sh;
}

// h(t - delay) for a delay in bit cells; with `derivative`, its slope per bit cell.
std::vector<double> shifted(const shifter& sh, double delay, bool derivative = false)
{
    const std::size_t size = sh.plans.size;
    std::vector<kiss_fft_cpx> turned(size);
    for (std::size_t k = 0; k < size; ++k) {
        const double w = 2 * std::numbers::pi * signed_bin(k, size) / static_cast<double>(size);
        std::complex<double> v = std::complex<double>(sh.spectrum[k].r, sh.spectrum[k].i)
                                 * std::polar(1.0, -w * delay * static_cast<double>(sh.rate));
        if (derivative) {
            v *= std::complex<double>(0.0, w * static_cast<double>(sh.rate));
        }
        turned[k] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
    }
    std::vector<kiss_fft_cpx> out(size);
    inverse_fft(sh.plans, turned, out);
    std::vector<double> h(sh.count);
    for (std::size_t i = 0; i < sh.count; ++i) {
        h[i] = out[i].r / static_cast<double>(size);
    }
    return h;
}

struct kernels {
    // From the whole extracted response, for the main response and its tails:
    std::vector<double> a0;  // (h(t - Dh) + h(t + Dh)) / 2
    std::vector<double> da;  // change of a0 when the transition before moves this one Dn earlier
    // From the response near its peak only, for the echoes; so that nothing
    // far from the main response can echo again:
    std::vector<double> b0;        // (h(t - Dh) - h(t + Dh)) / 2
    std::vector<double> db;        // change of b0 when the transition before moves this one
    std::vector<double> da_echo;   // da, of the response near its peak
    std::vector<double> h;         // the response near its peak
    std::vector<double> dh;        // its slope
};

// The extracted response, whole and near its peak, ready to be shifted.
struct response {
    shifter whole;
    shifter near;
    std::vector<double> near_h;
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

response make_response(const std::vector<double>& h, std::int64_t rate)
{
    std::vector<double> near = near_peak(h, rate);
    return {make_shifter(h, rate), make_shifter(near, rate), std::move(near)};
}

kernels make_kernels(const response& r, double dh, double dn)
{
    kernels k;
    const auto pair = [&](const shifter& sh, std::vector<double>& a, std::vector<double>& b,
                          std::vector<double>& da, std::vector<double>* db) {
        const std::vector<double> late = shifted(sh, dh);
        const std::vector<double> early = shifted(sh, -dh);
        const std::vector<double> late_moved = shifted(sh, dh - dn);
        const std::vector<double> early_moved = shifted(sh, -dh - dn);
        const std::size_t n = late.size();
        a.resize(n);
        b.resize(n);
        da.resize(n);
        if (db != nullptr) {
            db->resize(n);
        }
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = (late[i] + early[i]) / 2;
            b[i] = (late[i] - early[i]) / 2;
            da[i] = (late_moved[i] + early_moved[i]) / 2 - a[i];
            if (db != nullptr) {
                (*db)[i] = (late_moved[i] - early_moved[i]) / 2 - b[i];
            }
        }
    };
    std::vector<double> unused;
    std::vector<double> near_a0;
    pair(r.whole, k.a0, unused, k.da, nullptr);
    pair(r.near, near_a0, k.b0, k.da_echo, &k.db);
    k.h = r.near_h;
    k.dh = shifted(r.near, 0.0, true);
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
    std::array<double, 2> second{};       // second-adjacent echo: weights of h and its slope
    std::array<double, 2> interaction{};  // the same at the interaction location
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
        for (std::size_t i = 0; i < t.kernel->size(); ++i) {
            const auto phase = static_cast<std::size_t>((f.origin + static_cast<std::int64_t>(i)) % f.rate);
            means[phase] += t.weight * (*t.kernel)[i] / static_cast<double>(f.length);
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

// Replaces h over [from, to) bits by a cubic fitted to the flanks either side,
// so that an echo left in the correlation cannot pass itself off as part of
// the transition response.
void fill_hole(std::vector<double>& h, const frame& f, std::int64_t from, std::int64_t to)
{
    const std::int64_t lo = (from - flank_bits + f.segment) * f.rate;
    const std::int64_t hi = (to + flank_bits + f.segment) * f.rate;
    if (lo < 0 || hi > static_cast<std::int64_t>(h.size())) {
        return;
    }
    const double mid = static_cast<double>(lo + hi) / 2;
    const double half = static_cast<double>(hi - lo) / 2;
    constexpr std::size_t terms = 4;
    std::array<std::array<double, terms + 1>, terms> normal{};
    for (std::int64_t i = lo; i < hi; ++i) {
        if (i >= (from + f.segment) * f.rate && i < (to + f.segment) * f.rate) {
            continue;
        }
        const double x = (static_cast<double>(i) - mid) / half;
        const std::array<double, terms> basis{1.0, x, x * x, x * x * x};
        for (std::size_t r = 0; r < terms; ++r) {
            for (std::size_t c = 0; c < terms; ++c) {
                normal.at(r).at(c) += basis.at(r) * basis.at(c);
            }
            normal.at(r).at(terms) += basis.at(r) * h[static_cast<std::size_t>(i)];
        }
    }
    // Gaussian elimination; the normal matrix is well conditioned on [-1, 1].
    for (std::size_t p = 0; p < terms; ++p) {
        for (std::size_t r = p + 1; r < terms; ++r) {
            const double factor = normal.at(r).at(p) / normal.at(p).at(p);
            for (std::size_t c = p; c <= terms; ++c) {
                normal.at(r).at(c) -= factor * normal.at(p).at(c);
            }
        }
    }
    std::array<double, terms> coef{};
    for (std::size_t p = terms; p-- > 0;) {
        double v = normal.at(p).at(terms);
        for (std::size_t c = p + 1; c < terms; ++c) {
            v -= normal.at(p).at(c) * coef.at(c);
        }
        coef.at(p) = v / normal.at(p).at(p);
    }
    for (std::int64_t i = (from + f.segment) * f.rate; i < (to + f.segment) * f.rate; ++i) {
        const double x = (static_cast<double>(i) - mid) / half;
        h[static_cast<std::size_t>(i)] = coef[0] + x * (coef[1] + x * (coef[2] + x * coef[3]));
    }
}

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
    return ((1.0 - z) / 2.0 + (1.0 - z + z * z) / 4.0 * moved) * std::cos(w * dh);
}

// The transition response h from the main response, once what the model says
// the echoes add has been taken off. The main response shows nothing of h at
// whole multiples of the bit rate (h and h one bit later cancel there), so the
// division by the transfer function is regularised rather than exact.
std::vector<double> extract_response(const frame& f, const std::vector<term>& terms,
                                     const fit_state& fit, const std::vector<hole>& holes)
{
    const std::int64_t n = segment_samples(f);
    const std::int64_t half_segment = n / 2;
    const unsigned echoes = all_parts & ~only(main_response);
    const std::vector<double> means = phase_means(terms, f, echoes);
    std::size_t size = 1;
    while (size < 2 * static_cast<std::size_t>(n)) {
        size *= 2;
    }
    std::vector<kiss_fft_cpx> main(size, kiss_fft_cpx{0.0F, 0.0F});
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t s = i - half_segment;
        double g = sample(f, s);
        if (!terms.empty()) {
            g -= evaluate(terms, f, s, echoes) - phase_mean(means, f, s);
        }
        main[static_cast<std::size_t>(i)].r = static_cast<float>(g);
    }
    const fft_plans plans = plan_fft(size);
    std::vector<kiss_fft_cpx> spectrum(size);
    forward_fft(plans, main, spectrum);
    for (std::size_t k = 0; k < size; ++k) {
        const double w = 2 * std::numbers::pi * signed_bin(k, size) * static_cast<double>(f.rate) / static_cast<double>(size);
        const std::complex<double> t = main_transfer(w, fit.dh, fit.dn);
        const std::complex<double> v = std::complex<double>(spectrum[k].r, spectrum[k].i) * std::conj(t)
                                       / (std::norm(t) + regularisation) / static_cast<double>(size);
        spectrum[k] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
    }
    inverse_fft(plans, spectrum, main);
    std::vector<double> h(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < h.size(); ++i) {
        h[i] = main[i].r;
    }
    // Level the far tails to zero: h's mean is not seen in the correlation.
    const auto edge = static_cast<std::size_t>(2 * f.rate);
    const double left = std::accumulate(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(edge), 0.0) / static_cast<double>(edge);
    const double right = std::accumulate(h.end() - static_cast<std::ptrdiff_t>(edge), h.end(), 0.0) / static_cast<double>(edge);
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
        main[static_cast<std::size_t>(i)] = evaluate(terms, f, i - half_segment, only(main_response));
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
            return static_cast<double>((at - v.begin()) - half_segment) / static_cast<double>(f.rate);
        };
        return std::max(centre - time(first), time(last) - centre);
    };
    return {reach_of(main, 0.5), reach_of(k.dh, 0.0)};
}

double circular_distance(double a, double b, double length)
{
    const double d = std::fmod(std::abs(a - b), length);
    return std::min(d, length - d);
}

constexpr std::array<const char*, 4> effect_keys{"hts", "nlts", "second_adjacent", "interaction"};
constexpr std::array<const char*, 4> effect_names{"HTS", "NLTS", "2nd adjacent", "Interaction"};

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
    constexpr double main_centre = 0.5;
    constexpr double hts_span = 0.5;
    const std::array<double, 4> centres = echo_centres(at);
    const std::array<double, 4> reach{r.echo + hts_span, r.echo, r.echo, r.echo};
    for (std::size_t x = 0; x < echoes.size(); ++x) {
        echoes.at(x).separable = true;
        if (circular_distance(centres.at(x), main_centre, length) < r.main + reach.at(x)) {
            echoes.at(x).separable = false;
            echoes.at(x).reach = "the main response";
            continue;
        }
        for (std::size_t y = 0; y < echoes.size(); ++y) {
            if (y != x && circular_distance(centres.at(x), centres.at(y), length) < reach.at(x) + reach.at(y)) {
                echoes.at(x).separable = false;
                echoes.at(x).reach = std::string("the ") + effect_names.at(y) + " echo";
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

// Residuals of the model over the samples `at`.
std::vector<double> residuals(const frame& f, const response& sh, const places& p,
                              const fit_state& fit, const std::vector<std::int64_t>& at)
{
    const kernels k = make_kernels(sh, fit.dh, fit.dn);
    const std::vector<term> terms = model_terms(k, p, fit);
    const std::vector<double> means = phase_means(terms, f, all_parts);
    std::vector<double> r(at.size());
    for (std::size_t i = 0; i < at.size(); ++i) {
        r[i] = sample(f, at[i]) - evaluate(terms, f, at[i], all_parts) + phase_mean(means, f, at[i]);
    }
    return r;
}

// Gauss-Newton steps on the free shifts, the transition response held fixed.
void fit_shifts(const frame& f, const response& sh, const places& p, fit_state& fit,
                const std::vector<std::int64_t>& at)
{
    for (int step = 0; step < newton_steps; ++step) {
        std::array<std::vector<double>, 2> jacobian;
        const std::vector<double> r = residuals(f, sh, p, fit, at);
        for (std::size_t q = 0; q < 2; ++q) {
            const bool free = q == 0 ? fit.free_h : fit.free_n;
            if (!free) {
                jacobian.at(q).assign(r.size(), 0.0);
                continue;
            }
            fit_state up = fit;
            fit_state down = fit;
            (q == 0 ? up.dh : up.dn) += derivative_step;
            (q == 0 ? down.dh : down.dn) -= derivative_step;
            const std::vector<double> ru = residuals(f, sh, p, up, at);
            const std::vector<double> rd = residuals(f, sh, p, down, at);
            jacobian.at(q).resize(r.size());
            for (std::size_t i = 0; i < r.size(); ++i) {
                jacobian.at(q)[i] = (ru[i] - rd[i]) / (2 * derivative_step);
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
    const std::vector<term> basis{{&k.h, place, 1.0, main_response}, {&k.dh, place, 1.0, main_response}};
    std::array<double, 3> bb{};
    std::array<double, 2> by{};
    for (const std::int64_t s : window_samples(f, place, place + 1)) {
        const double y = sample(f, s) - evaluate(rest, f, s, all_parts) + phase_mean(means, f, s);
        const double u = evaluate({basis[0]}, f, s, all_parts);
        const double v = evaluate({basis[1]}, f, s, all_parts);
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
        m.plot.t.push_back(static_cast<double>(s) / rate - 0.5);
        m.plot.correlation.push_back(sample(f, s));
    }
    const std::vector<double> means = phase_means(terms, f, all_parts);
    for (std::size_t e = 0; e < m.echoes.size(); ++e) {
        plot_echo& panel = m.plot.echoes.at(e);
        panel.label = effect_names.at(e);
        panel.location = m.echoes.at(e).location;
        panel.separable = m.echoes.at(e).separable;
        const unsigned self = only(echo_parts.at(e));
        for (const std::int64_t s : echo_window(f, p, e)) {
            panel.t.push_back(static_cast<double>(s) / rate - 0.5);
            panel.measured.push_back(sample(f, s) - evaluate(terms, f, s, all_parts & ~self)
                                     + phase_mean(means, f, s));
            panel.model.push_back(evaluate(terms, f, s, self));
        }
    }
}

double snr_of(const frame& f, const std::vector<term>& terms)
{
    const auto n = static_cast<std::int64_t>(f.c.size());
    const std::vector<double> means = phase_means(terms, f, all_parts);
    double noise = 0;
    double peak = 0;
    for (std::int64_t s = -n / 2; s < n - n / 2; ++s) {
        const double model = evaluate(terms, f, s, all_parts) - phase_mean(means, f, s);
        noise += (sample(f, s) - model) * (sample(f, s) - model);
        peak = std::max(peak, std::abs(evaluate(terms, f, s, only(main_response))));
    }
    noise /= static_cast<double>(n);
    if (noise <= 0) {
        return max_snr_db;
    }
    return std::min(max_snr_db, decibels_per_decade * std::log10(peak * peak / noise));
}

}  // namespace

measurement measure_period(const polynomial& poly, std::span<const double> period,
                           std::int32_t rate)
{
    measurement m;
    const std::vector<std::int32_t> bits = pattern_bits(poly);
    const auto length = static_cast<std::int64_t>(bits.size());
    frame f{correlate(bits, period), length, rate, 0, std::min(max_segment_bits, (length - 1) / 2)};
    find_main(f);
    const double share = main_share(f);
    if (share < pattern_share) {
        m.error = "the capture does not hold the pattern of " + polynomial_text(poly)
                  + ": its correlation with the pattern has no main response (the strongest peak holds "
                  + std::to_string(static_cast<int>(std::lround(share * 100))) + " % of the energy)";
        return m;
    }
    const echo_set locations = pattern_echoes(poly);
    const std::array<double, 4> located{locations.hts, locations.nlts, locations.second_adjacent,
                                        locations.interaction};
    const places p{place_of(locations.hts, f.length), place_of(locations.nlts, f.length),
                   place_of(locations.second_adjacent, f.length),
                   place_of(locations.interaction, f.length)};
    for (std::size_t e = 0; e < m.echoes.size(); ++e) {
        m.echoes.at(e).effect = effect_keys.at(e);
        m.echoes.at(e).location = located.at(e);
    }
    fit_state fit;
    std::vector<double> h = extract_response(f, {}, fit, {});
    kernels k = make_kernels(make_response(h, f.rate), 0.0, 0.0);
    decide_separable(m.echoes, p, reaches(f, k, model_terms(k, p, fit)), static_cast<double>(f.length));
    fit.free_h = m.echoes[0].separable;
    fit.free_n = m.echoes[1].separable;
    std::vector<hole> holes;
    const std::array<std::int64_t, 4> at{p.hts, p.nlts, p.second, p.interaction};
    for (std::size_t e = 0; e < at.size(); ++e) {
        if (m.echoes.at(e).separable) {
            holes.push_back({at.at(e) - hole_bits, at.at(e) + hole_bits + (e == 0 ? 2 : 1)});
        }
    }
    std::vector<std::int64_t> shift_window;
    for (std::size_t e = 0; e < 2; ++e) {
        if (m.echoes.at(e).separable) {
            const std::vector<std::int64_t> w = echo_window(f, p, e);
            shift_window.insert(shift_window.end(), w.begin(), w.end());
        }
    }
    for (int round = 0; round < fit_rounds; ++round) {
        h = extract_response(f, round == 0 ? std::vector<term>{} : model_terms(k, p, fit), fit, holes);
        const response sh = make_response(h, f.rate);
        const double before_h = fit.dh;
        const double before_n = fit.dn;
        if (!shift_window.empty()) {
            fit_shifts(f, sh, p, fit, shift_window);
        }
        k = make_kernels(sh, fit.dh, fit.dn);
        fit_state rest = fit;
        rest.second = {0.0, 0.0};
        fit.second = fit_generic(f, k, model_terms(k, p, rest), p.second);
        rest = fit;
        rest.interaction = {0.0, 0.0};
        fit.interaction = fit_generic(f, k, model_terms(k, p, rest), p.interaction);
        if (round > 2 && std::abs(fit.dh - before_h) + std::abs(fit.dn - before_n) < converged) {
            break;
        }
    }
    const std::vector<term> terms = model_terms(k, p, fit);
    std::vector<std::int64_t> main_window;
    for (std::int64_t s = -f.segment * f.rate; s < f.segment * f.rate; ++s) {
        main_window.push_back(s);
    }
    const double main_size = peak_to_peak(terms, f, only(main_response), main_window);
    for (std::size_t e = 0; e < m.echoes.size(); ++e) {
        echo_result& echo = m.echoes.at(e);
        echo.size = main_size > 0 ? peak_to_peak(terms, f, only(echo_parts.at(e)), echo_window(f, p, e)) / main_size : 0.0;
        if (e < 2 && echo.separable) {
            echo.shift = e == 0 ? fit.dh : fit.dn;
        }
    }
    m.snr_db = snr_of(f, terms);
    fill_plot(m, f, terms, p, polynomial_text(poly));
    return m;
}

}  // namespace keldran::echo
