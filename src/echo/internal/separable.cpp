// Which echoes can be measured apart: how far the main response and an echo
// reach, which echoes stand clear of them and of each other, where the
// extracted response needs holes, and whether the fit explains an echo.
// Every verdict on an echo is made here.
#include "fit_internal.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>

namespace keldran::echo {

namespace {

// A response reaches as far as it stays above this fraction of its peak.
constexpr double reach_fraction = 0.2;
// Bits at most between an echo and the edge of its hole in the extracted response.
constexpr std::int64_t hole_bits = 5;
// Bits a hole's flank keeps clear of the main response's reach.
constexpr double hole_clearance = 0.5;
// Bits in the shortest period whose echoes can be measured apart: order 7's.
constexpr double shortest_separable_period = 127.0;
// An HTS or NLTS echo whose fit leaves more than this share of it unexplained,
// beyond the noise, gets no shift.
constexpr double misfit_limit = 0.1;

// Centres of the four echoes, in bits from the main response's transition.
std::array<double, effect_count> echo_centres(const echo_offsets& offsets)
{
    constexpr double half = 0.5;
    return {static_cast<double>(offsets.hts) + half, static_cast<double>(offsets.nlts),
            static_cast<double>(offsets.second), static_cast<double>(offsets.interaction)};
}

// The widest hole that keeps an echo at `at`, `span` bits long, out of the
// extracted response while its flank stays clear of the main response; none
// when even the narrowest would reach into it.
std::optional<hole> hole_for(std::int64_t at, std::int64_t span, const reach_set& reach)
{
    for (std::int64_t width = hole_bits; width > 0; --width) {
        const hole gap{at - width, at + width + span};
        const double nearest =
            std::min(std::abs(static_cast<double>(gap.from - flank_bits) - main_centre),
                     std::abs(static_cast<double>(gap.to + flank_bits) - main_centre));
        const bool across = gap.from - flank_bits < 0 && gap.to + flank_bits > 0;
        if (!across && nearest >= reach.main + hole_clearance) {
            return gap;
        }
    }
    return std::nullopt;
}

// How far the response `v` reaches from `centre`, in bits, sampled `rate` times a
// bit with sample `zero` at 0: it walks out from the highest and lowest points
// while the response stays above the fraction of its peak (what lies beyond a gap
// is not its own).
double reach_of(const std::vector<double>& v, std::int64_t zero, std::int64_t rate, double centre)
{
    const auto [low, high] = std::minmax_element(v.begin(), v.end());
    const double limit = reach_fraction * std::max(std::abs(*low), std::abs(*high));
    auto first = static_cast<std::size_t>(std::min(low, high) - v.begin());
    auto last = static_cast<std::size_t>(std::max(low, high) - v.begin());
    while (first > 0 && std::abs(v[first - 1]) >= limit) {
        --first;
    }
    while (last + 1 < v.size() && std::abs(v[last + 1]) >= limit) {
        ++last;
    }
    // The reach ends where the response falls through the limit, between the last
    // sample above it and the next: read there, it does not move with the rate.
    // The next lies below the limit, so the two differ.
    const auto crossing = [&](std::size_t at, std::size_t beyond) {
        return (v[at] - std::copysign(limit, v[at])) / (v[at] - v[beyond]);
    };
    const double from = static_cast<double>(first) - (first > 0 ? crossing(first, first - 1) : 0.0);
    const double to =
        static_cast<double>(last) + (last + 1 < v.size() ? crossing(last, last + 1) : 0.0);
    const auto time = [&](double at) {
        return (at - static_cast<double>(zero)) / static_cast<double>(rate);
    };
    return std::max(centre - time(from), time(to) - centre);
}

}  // namespace

double circular_distance(double a, double b, double length)
{
    const double d = std::fmod(std::abs(a - b), length);
    return std::min(d, length - d);
}

// How far the main response and an echo reach, in bits from their centres.
reach_set reaches(const correlation& corr, const kernels& k, const std::vector<term>& terms)
{
    const std::int64_t half_segment = corr.segment * corr.rate;
    std::vector<std::int64_t> at(k.shape.size());
    std::iota(at.begin(), at.end(), -half_segment);
    const std::vector<double> main = evaluate_all(terms, corr, at, only(part::main_response));
    return {reach_of(main, half_segment, corr.rate, main_centre),
            reach_of(k.slope, half_segment, corr.rate, 0.0)};
}

// Decides which echoes stand clear of the main response and of each other.
void decide_separable(std::array<echo_result, effect_count>& echoes, const echo_offsets& offsets,
                      const reach_set& reach, double length)
{
    constexpr double hts_span = 0.5;
    const std::array<double, effect_count> centres = echo_centres(offsets);
    const std::array<double, effect_count> echo_reach{reach.echo + hts_span, reach.echo, reach.echo,
                                                      reach.echo};
    for (std::size_t x = 0; x < echoes.size(); ++x) {
        echo_result& echo = echoes.at(x);
        // Below order 7 the period leaves too little room beside the main response
        // for the response to be extracted clear of the echoes, whatever its width.
        if (length < shortest_separable_period) {
            echo.verdict = separation::short_period;
            continue;
        }
        if (circular_distance(centres.at(x), main_centre, length) < reach.main + echo_reach.at(x)) {
            echo.verdict = separation::near_main_response;
            continue;
        }
        for (std::size_t y = 0; y < echoes.size(); ++y) {
            if (y != x
                && circular_distance(centres.at(x), centres.at(y), length)
                       < echo_reach.at(x) + echo_reach.at(y)) {
                echo.verdict = separation::near_echo;
                echo.near = echoes.at(y).which;
                break;
            }
        }
    }
}

// Only a hole's edge toward the main response counts (the extraction replaces h
// from there outward), and the flank inside that edge must lie clear of the
// main response: near it the hole narrows.
std::vector<hole> echo_holes(std::array<echo_result, effect_count>& echoes,
                             const echo_offsets& offsets, const reach_set& reach,
                             std::int64_t segment)
{
    std::vector<hole> holes;
    for (echo_result& echo : echoes) {
        if (!is_separable(echo)) {
            continue;
        }
        const std::int64_t at = offset_of(offsets, echo.which);
        // The HTS echo spans two bits: its own and the one after.
        const std::int64_t span = echo.which == effect::hts ? 2 : 1;
        const std::optional<hole> gap = hole_for(at, span, reach);
        if (gap) {
            holes.push_back(*gap);
            continue;
        }
        // An echo within the segment that no hole can keep out of the extracted
        // response would be taken for part of it: it cannot be measured apart.
        if (static_cast<double>(std::abs(at)) < static_cast<double>(segment) + reach.echo) {
            echo.verdict = separation::near_main_response;
        }
    }
    return holes;
}

void judge_fit(echo_result& echo, double misfit, double shift)
{
    // A shift is given only where the model explains the echo it came from.
    if (misfit > misfit_limit) {
        echo.verdict = separation::misfit;
        echo.misfit = misfit;
    } else {
        echo.shift = shift;
    }
}

}  // namespace keldran::echo
