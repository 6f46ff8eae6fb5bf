#include "choose.h"

#include "internal/fit_internal.h"

#include <algorithm>
#include <cmath>

namespace keldran::echo {

namespace {

// Whether each effect's combination of the sequence (HTS s[i]^s[i+1], NLTS
// s[i]^s[i+1]^s[i+2], second adjacent s[i]^s[i+2]^s[i+3], interaction s[i]^s[i+2])
// is all zeros, as the feedback rule itself is: then the effect has no echo.
std::array<bool, effect_count> absent_echoes(const polynomial& poly)
{
    const std::vector<std::int32_t> seq = pattern_bits(poly);
    std::vector<std::int32_t> work(seq.size());
    const auto none = [&] {
        return std::ranges::all_of(work, [](std::int32_t b) { return b == 0; });
    };
    std::array<bool, effect_count> absent{};
    rotate_xor(work.data(), seq.data(), seq.data(), 1, poly.order);
    absent.at(static_cast<std::size_t>(effect::hts)) = none();
    rotate_xor(work.data(), work.data(), seq.data(), 1, poly.order);
    absent.at(static_cast<std::size_t>(effect::nlts)) = none();
    rotate_xor(work.data(), seq.data(), seq.data(), 1, poly.order);
    rotate_xor(work.data(), work.data(), seq.data(), 2, poly.order);
    absent.at(static_cast<std::size_t>(effect::second_adjacent)) = none();
    rotate_xor(work.data(), seq.data(), seq.data(), 2, poly.order);
    absent.at(static_cast<std::size_t>(effect::interaction)) = none();
    return absent;
}

std::vector<double> distances_of(const ranked_polynomial& r)
{
    const auto length = static_cast<double>(sequence_length(r.poly.order));
    std::vector<double> at{0.0};  // the main response
    for (std::size_t e = 0; e < effect_count; ++e) {
        if (!r.absent.at(e)) {
            at.push_back(r.echoes.at(e).location);
        }
    }
    std::vector<double> distances;
    for (std::size_t i = 0; i < at.size(); ++i) {
        for (std::size_t j = i + 1; j < at.size(); ++j) {
            distances.push_back(circular_distance(at[i], at[j], length));
        }
    }
    std::ranges::sort(distances);
    return distances;
}

// The echoes at keldran's locations, each with measure's verdict on the
// noise-free read-back of the pattern through the model, with the judged shifts.
std::array<echo_result, effect_count> judged_echoes(const polynomial& poly,
                                                    const channel_model& given)
{
    channel_model model;
    model.pw50 = given.pw50;
    model.pulse = given.pulse;
    model.medium = given.medium;
    model.hts = judged_shift;
    model.nlts = judged_shift;
    const std::vector<float> read = read_back_period(poly, model, judged_samples_per_bit, 0.0);
    const std::vector<double> period(read.begin(), read.end());
    const measurement m = judge_period(poly, period, judged_samples_per_bit, model.medium);
    std::array<echo_result, effect_count> echoes = located_echoes(poly);
    for (std::size_t e = 0; e < effect_count; ++e) {
        // A response so wide that the pattern cannot be found in it fills the
        // period: no echo stands clear of it.
        echoes.at(e).verdict = m.error ? separation::near_main_response : m.echoes.at(e).verdict;
        echoes.at(e).near = m.echoes.at(e).near;
    }
    return echoes;
}

bool within(const std::array<echo_result, effect_count>& echoes, std::optional<double> window)
{
    const auto inside = [&](effect which) {
        return std::abs(echoes.at(static_cast<std::size_t>(which)).location) <= *window;
    };
    return !window || (inside(effect::hts) && inside(effect::nlts));
}

// Larger smallest distance first, then the next smallest, and so on.
bool better(const ranked_polynomial& a, const ranked_polynomial& b)
{
    return std::ranges::lexicographical_compare(b.distances, a.distances);
}

}  // namespace

double smallest_distance(const ranked_polynomial& ranked)
{
    return ranked.distances.front();
}

choice choose_polynomials(const choice_request& request)
{
    choice result;
    const std::vector<polynomial> polys = maximal_polynomials(request.order);
    result.maximal = polys.size();
    for (const polynomial& poly : polys) {
        if (!within(located_echoes(poly), request.window)) {
            continue;
        }
        ranked_polynomial r{.poly = poly,
                            .echoes = judged_echoes(poly, request.model),
                            .absent = absent_echoes(poly),
                            .distances = {}};
        r.distances = distances_of(r);
        result.ranked.push_back(std::move(r));
    }
    // Stable: equal distances keep keldran's order.
    std::ranges::stable_sort(result.ranked, better);
    return result;
}

}  // namespace keldran::echo
