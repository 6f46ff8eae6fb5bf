// The inside of the measurement of one averaged period: the correlation
// aligned on its main response, the transition response extracted from it and
// shifted by fractions of a bit, the channel model's terms, the rules that
// decide which echoes can be measured apart, and the rounds of fit and subtract.
#ifndef KELDRAN_ECHO_FIT_INTERNAL_H
#define KELDRAN_ECHO_FIT_INTERNAL_H

#include "measure.h"
#include "spectrum.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace keldran::echo {

// Bits each side of an echo over which it is fitted and drawn.
inline constexpr std::int64_t window_bits = 4;
// Bits of the flank inside a hole's edge that the response's tail beyond is fitted to.
inline constexpr std::int64_t flank_bits = 2;
// The main response's centre, half a bit after the transition that starts it.
inline constexpr double main_centre = 0.5;
// Bits each side of the main transition whose shifts of the pattern make the
// main response: a transition's own level change, the cell before, and the
// neighbours that NLTS and partial erasure look at.
inline constexpr std::int64_t main_before = -1;
inline constexpr std::int64_t main_after = 2;

// ---- The transitions grouped by how they move (classes.cpp)

// Of the fitted quantities: hts, nlts and erasure.
inline constexpr std::size_t fitted_count = 3;

// The fitted shifts and the weights of the echoes sized without a cause.
struct shift_estimate {
    double hts = 0;      // Dh, in bit cells
    double nlts = 0;     // Dn, in bit cells
    double erasure = 0;  // E: a transition with a close neighbour reads 1 - E as large
    bool fit_hts = false;
    bool fit_nlts = false;
    bool fit_erasure = false;
    bool fit_second = false;
    bool fit_interaction = false;
    std::array<double, 2> second{};       // second-adjacent echo: weights of h and its slope
    std::array<double, 2> interaction{};  // the same at the interaction location
    std::array<double, 2> hts_rough{};    // HTS and NLTS echoes that are not separable,
    std::array<double, 2> nlts_rough{};   // sized the same way
    // Of hts, nlts and erasure: the diagonal of the inverse of the fit's normal
    // matrix, which the noise's power turns into each one's variance.
    std::array<double, fitted_count> spread{};
};

// The weight of the pattern delayed by `offset` bits in a sequence.
struct weight_at {
    std::int64_t offset;
    double weight;
};

// The transitions of one polarity with or without another one cell before:
// all of them move by the same shift.
struct transition_class {
    double polarity = 1;            // +1 rising, -1 falling
    bool after_transition = false;  // a transition stands one cell before
    std::vector<weight_at> plain;   // the class's level changes, as shifts of the pattern
    std::vector<weight_at> erased;  // those of its transitions partial erasure shrinks
};

inline constexpr std::size_t class_count = 4;
using class_set = std::array<transition_class, class_count>;

// The four classes of the pattern's transitions (bits: one period of `order`'s pattern).
class_set transition_classes(std::span<const std::int32_t> bits, std::int32_t order);

// How far the fit moves a class's transitions, in bit cells, later positive.
double class_delay(const transition_class& group, const shift_estimate& fit);

// ---- The correlation (correlation.cpp)

// One period of the correlation with the pattern, placed by its main response.
struct correlation {
    std::vector<double> values;  // one period
    std::int64_t length = 0;     // bits per period
    std::int64_t rate = 0;       // samples per bit
    std::int64_t origin = 0;     // sample of the main response's transition
    std::int64_t segment = 0;    // bits each side of it that the response is extracted over
    class_set classes;           // the pattern's transitions, as shifts of it
    bool inverted = false;       // the capture read upside down, and was turned upright
};

// s moved by whole periods n into [-n/2, n/2).
std::int64_t wrap(std::int64_t s, std::int64_t n);

// Marks the samples [from, to) of `busy`, one period of them, round the period:
// any from, and at most the whole period however long the range.
void mark_round(std::vector<char>& busy, std::int64_t from, std::int64_t to);

// The correlation s samples from the main response's transition (any s).
double sample(const correlation& corr, std::int64_t s);

// Samples of the segment the transition response is extracted over.
std::int64_t segment_samples(const correlation& corr);

// Sets `origin` on the main response, where the transition response peaks, and
// turns an inverted capture upright.
void find_main(correlation& corr);

// Share of the correlation's energy within a few bits of the main response,
// and the share that says the capture holds this pattern.
double main_share(const correlation& corr);
double share_needed(const correlation& corr);

// ---- The medium and the pulse (pulse.cpp)

// Perpendicular when the correlation's largest response is a bump with an
// area (a step's), longitudinal when a dipulse with none (a pulse's).
recording_medium find_medium(const std::vector<double>& values, std::int64_t rate);

// The correlation's slope per bit cell, through its spectrum: a step's
// read-back then measures as the read-back of the step's slope, a pulse.
void take_slope(std::vector<double>& values, std::int64_t rate);

// The correlation with everything above `cycles_per_bit` taken out, and `also`
// (of the same size, or null) with it, in the same transforms.
void band_limit(std::vector<double>& values, std::vector<double>* also, std::int64_t rate,
                double cycles_per_bit);

// The width at half height, in bit cells, of a pulse sampled `rate` times per
// bit (its peak its largest value), read between the samples through its spectrum.
double half_height_width(const std::vector<double>& shape, std::int64_t rate);

// ---- The head's square-law asymmetry (asymmetry.cpp)

// A of a head that reads x + A x^2, in the period's own units, and its
// standard uncertainty.
struct head_reading {
    double asymmetry = 0;
    double uncertainty = 0;
    bool measured = true;  // false: too little of what it adds lies clear of every response
    bool undone = false;   // the period was changed: the estimate stood clear of the noise
};

// Estimates A from where `corr` (the period's correlation, not yet placed)
// should hold only noise; where the estimate stands clear of the noise, `undone`
// is the period with A undone. `bits` is one period of `order`'s pattern.
head_reading undo_asymmetry(std::span<const double> period, const correlation& corr,
                            std::span<const std::int32_t> bits, std::int32_t order,
                            recording_medium medium, std::vector<double>& undone);

// ---- Shifting the transition response by fractions of a bit (shift.cpp)

// Part of the extracted response and its spectrum, ready to be shifted. The
// part lies well inside its zero-padded transform.
struct shifter {
    const real_fft_plans* plans = nullptr;
    std::vector<kiss_fft_cpx> spectrum;  // the bins of non-negative frequency
    std::size_t count = 0;               // samples of the whole segment
    std::size_t first = 0;               // where the part starts in it
    std::size_t length = 0;              // samples of the part
    std::int64_t rate = 0;
};

// The extracted response, whole and near its peak, ready to be shifted.
struct response {
    shifter whole;
    shifter near;
    std::vector<double> near_shape;
    std::vector<double> near_slope;
};

// Transform plans for the whole segment and for the part near the peak.
struct plan_set {
    real_fft_plans extract;  // twice the segment, so that undoing the level change cannot wrap
    real_fft_plans whole;
    real_fft_plans near;
};

// The responses the model is built of: the extracted response moved by each
// class of transitions' shift, whole for the main response and its tails, and
// near its peak only for the echoes, so that nothing far from the main
// response can echo again; and the response near its peak with its slope.
struct kernels {
    std::array<std::vector<double>, class_count> whole;
    std::array<std::vector<double>, class_count> near;
    // The delay each near kernel was last shifted by, so that one not moved is not made again.
    std::array<double, class_count> near_delay{};
    std::vector<double> shape;  // the response near its peak
    std::vector<double> slope;  // its slope per bit cell
};

// Plans for a segment of `count` samples at `rate` samples per bit.
plan_set make_plans(std::size_t count, std::int64_t rate);

// The extracted response `h` (the whole segment) made ready to be shifted.
response make_response(const std::vector<double>& h, std::int64_t rate, const plan_set& plans);

// Remakes only the echoes' kernels for the shifts in `fit`, those of classes whose delay
// has not moved left as they are; k must have been made by make_kernels from `extracted`.
void echo_kernels(kernels& k, const response& extracted, const class_set& classes,
                  const shift_estimate& fit);

// Every kernel for the shifts in `fit`.
kernels make_kernels(const response& extracted, const class_set& classes,
                     const shift_estimate& fit);

// ---- The channel model's terms (terms.cpp)

// What a term of the model belongs to: the main response or one effect's echo.
// `other`: the few products partial erasure brings that land away from every echo.
enum class part : std::uint8_t { main_response, hts, nlts, second_adjacent, interaction, other };
using part_set = unsigned;  // a bit per part
inline constexpr part_set all_parts = 0x3FU;

part_set only(part which);
part part_of(effect which);

// Where each effect's product of levels lands in the correlation, in whole bits
// from the main response's transition.
struct echo_offsets {
    std::int64_t hts = 0;
    std::int64_t nlts = 0;
    std::int64_t second = 0;
    std::int64_t interaction = 0;
};

std::int64_t offset_of(const echo_offsets& offsets, effect which);

struct term {
    const std::vector<double>* kernel;
    std::int64_t offset;  // bits from the main response's transition
    double weight;
    part owner;
};

// The correlation the channel model predicts, term by term (k must outlive them).
std::vector<term> model_terms(const kernels& k, const class_set& classes,
                              const echo_offsets& offsets, const shift_estimate& fit);

// The terms' value s samples from the main response's transition, over `parts`.
double evaluate(const std::vector<term>& terms, const correlation& corr, std::int64_t s,
                part_set parts);

// The same at each of the samples `at` (any, fastest in runs of consecutive ones).
std::vector<double> evaluate_all(const std::vector<term>& terms, const correlation& corr,
                                 std::span<const std::int64_t> at, part_set parts);

// The terms, in their order, whose kernels reach any of the samples `at`; the others
// add nothing there, so evaluating these alone gives the same values, only sooner.
std::vector<term> terms_reaching(const std::vector<term>& terms, const correlation& corr,
                                 std::span<const std::int64_t> at);

// The per-phase mean the terms add over one period, which the correlation lacks,
// and its value at sample s.
std::vector<double> phase_means(const std::vector<term>& terms, const correlation& corr,
                                part_set parts);
double phase_mean(const std::vector<double>& means, const correlation& corr, std::int64_t s);

// The terms over one whole period, less their per-phase means, as the correlation is.
std::vector<double> render(const std::vector<term>& terms, const correlation& corr, part_set parts);

// Peak-to-peak of the terms over `at` (samples from the main transition).
double peak_to_peak(const std::vector<term>& terms, const correlation& corr, part_set parts,
                    const std::vector<std::int64_t>& at);

// The samples from `from` - window_bits to `to` + window_bits bits.
std::vector<std::int64_t> window_samples(const correlation& corr, std::int64_t from,
                                         std::int64_t to);

// The samples an echo is fitted, sized and drawn over.
std::vector<std::int64_t> echo_window(const correlation& corr, const echo_offsets& offsets,
                                      effect which);

// ---- Extracting the transition response (extract.cpp)

// An echo's place in the extracted response, in bits from the main transition.
struct hole {
    std::int64_t from;
    std::int64_t to;
};

// The transition response h over the segment, from the main response once
// `terms`' echoes are taken off, with the holes filled by the main response's
// own tail. `plans` are make_plans' extract plans.
std::vector<double> extract_response(const correlation& corr, const std::vector<term>& terms,
                                     const shift_estimate& fit, const std::vector<hole>& holes,
                                     const real_fft_plans& plans);

// ---- Which echoes can be measured apart (separable.cpp)

// The distance between a and b round a period of `length` (all in the same unit).
double circular_distance(double a, double b, double length);

// How far the main response and an echo reach, in bits from their centres.
struct reach_set {
    double main = 0;
    double echo = 0;
};

reach_set reaches(const correlation& corr, const kernels& k, const std::vector<term>& terms);

// Marks each echo too near the main response or another echo, or in a period
// too short, as not separable.
void decide_separable(std::array<echo_result, effect_count>& echoes, const echo_offsets& offsets,
                      const reach_set& reach, double length);

// Holes in the extracted response where the separable echoes would echo again;
// an echo inside the segment that no hole can keep out is marked not separable.
std::vector<hole> echo_holes(std::array<echo_result, effect_count>& echoes,
                             const echo_offsets& offsets, const reach_set& reach,
                             std::int64_t segment);

// Gives the shift of a separable HTS or NLTS echo, or withholds it when the
// fit leaves more than the limit of it unexplained.
void judge_fit(echo_result& echo, double misfit, double shift);

// ---- Fit and subtract (rounds.cpp)

// The samples the shifts are fitted over: the separable HTS and NLTS echoes'.
std::vector<std::int64_t> shift_samples(const correlation& corr,
                                        const std::array<echo_result, effect_count>& echoes,
                                        const echo_offsets& offsets);

// Rounds of fit and subtract until the shifts settle; returns the kernels at
// the final shifts.
kernels fit_rounds_of(const correlation& corr, const echo_offsets& offsets, shift_estimate& fit,
                      const std::vector<hole>& holes, const std::vector<std::int64_t>& shift_window,
                      const plan_set& plans);

// A rough size for every echo that is not separable, the others as fitted.
void size_inseparable(const correlation& corr, const kernels& k, const echo_offsets& offsets,
                      const std::array<echo_result, effect_count>& echoes, shift_estimate& fit);

// ---- Reading the figures off the fit (report.cpp)

// Sizes, shifts and the signal-to-noise ratio from the fitted model.
void report_fit(measurement& m, const correlation& corr, const echo_offsets& offsets,
                const std::vector<term>& terms, const shift_estimate& fit);

}  // namespace keldran::echo

#endif
