// The polynomials of an order as choose ranks them, for a person choosing one
// and for programs: a table of the best, or JSON of all.
#include "summary.h"

#include "internal/text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

namespace keldran::echo {

namespace {

constexpr std::string_view absent_reason =
    "that combination of the sequence is the feedback rule itself, so the effect has no echo of "
    "its own";

std::string_view pulse_name(pulse_shape pulse)
{
    return pulse == pulse_shape::gaussian ? "gaussian" : "lorentzian";
}

// What the table's heading says was asked for.
std::string request_line(const choice_request& request, const choice& chosen)
{
    std::string text = "Order " + std::to_string(request.order) + ": "
                       + std::to_string(chosen.maximal) + " maximal polynomials";
    if (request.window) {
        text += ", " + std::to_string(chosen.ranked.size())
                + " with the HTS and NLTS echoes within " + short_number(*request.window)
                + " bits of the main response";
    }
    return text + "\nPW50 " + short_number(request.model.pw50) + " bit cells, "
           + std::string(pulse_name(request.model.pulse)) + " pulse, "
           + std::string(medium_name(request.model.medium)) + " medium\n";
}

// Which of the echoes present measure would call separable, and which are absent.
std::string separable_cell(const ranked_polynomial& r)
{
    std::vector<std::string> separable;
    std::string absent;
    std::size_t present = 0;
    for (const echo_result& echo : r.echoes) {
        const std::string title(effect_title(echo.which));
        if (r.absent.at(static_cast<std::size_t>(echo.which))) {
            absent += "; " + title + " absent";
            continue;
        }
        ++present;
        if (is_separable(echo)) {
            separable.push_back(title);
        }
    }
    if (separable.empty() || separable.size() == present) {
        return (separable.empty() ? "none" : "all") + absent;
    }
    std::string text = separable.front();
    for (std::size_t i = 1; i < separable.size(); ++i) {
        text += ", " + separable[i];
    }
    return text + absent;
}

std::string table_rows(std::span<const ranked_polynomial> shown)
{
    std::size_t width = std::string_view("Polynomial").size();
    for (const ranked_polynomial& r : shown) {
        width = std::max(width, polynomial_text(r.poly).size());
    }
    std::string heading = "Polynomial";
    heading.resize(width, ' ');
    std::string text =
        "Rank  " + heading + "      HTS     NLTS  2nd adj  Interact  Smallest  Separable\n";
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const ranked_polynomial& r = shown[i];
        std::string name = polynomial_text(r.poly);
        name.resize(width, ' ');
        text += format("%4lld  ", static_cast<long long>(i) + 1) + name;
        for (const echo_result& echo : r.echoes) {
            text += format(" %+8.1f", echo.location);
        }
        text += format("  %8.1f  ", smallest_distance(r)) + separable_cell(r) + "\n";
    }
    return text;
}

}  // namespace

std::string choice_table(const choice_request& request, const choice& chosen, std::size_t count)
{
    std::string text = request_line(request, chosen);
    if (chosen.ranked.empty()) {
        return text + "\nNo polynomial of order " + std::to_string(request.order)
               + " has its HTS and NLTS echoes within " + short_number(request.window.value_or(0))
               + " bits of the main response.\n";
    }
    text += "Best first by the smallest distance, in bit cells, between any two of the main "
            "response and the echoes\n\n";
    const std::span<const ranked_polynomial> shown =
        std::span(chosen.ranked).first(std::min(count, chosen.ranked.size()));
    text += table_rows(shown);
    text += "\nSeparable: the echoes measure tells apart from the main response and from each "
            "other at this pulse, with HTS and NLTS shifts of up to "
            + short_number(judged_shift) + " bit cells; larger shifts widen the responses.\n";
    const bool short_period = std::ranges::any_of(shown, [](const ranked_polynomial& r) {
        return r.echoes[0].verdict == separation::short_period;
    });
    if (short_period) {
        text += "None: in a period this short no echo stands clear of the main response (order 7 "
                "and up leave room).\n";
    }
    const bool any_absent = std::ranges::any_of(shown, [](const ranked_polynomial& r) {
        return std::ranges::find(r.absent, true) != r.absent.end();
    });
    if (any_absent) {
        text += "Absent: " + std::string(absent_reason) + "; it is left out of the distances.\n";
    }
    return text;
}

std::string choice_json(const choice_request& request, const choice& chosen)
{
    nlohmann::ordered_json polys = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < chosen.ranked.size(); ++i) {
        const ranked_polynomial& r = chosen.ranked[i];
        nlohmann::ordered_json echoes = nlohmann::ordered_json::array();
        for (const echo_result& echo : r.echoes) {
            nlohmann::ordered_json item;
            item["effect"] = effect_key(echo.which);
            item["location"] = echo.location;
            const bool absent = r.absent.at(static_cast<std::size_t>(echo.which));
            item["absent"] = absent;
            item["separable"] = !absent && is_separable(echo);
            if (absent) {
                item["not_separable_because"] = std::string(absent_reason);
            } else if (!is_separable(echo)) {
                item["not_separable_because"] = "it " + why_not_separable(echo);
            }
            echoes.push_back(item);
        }
        nlohmann::ordered_json item;
        item["rank"] = i + 1;
        item["polynomial"] = polynomial_text(r.poly);
        item["smallest_distance"] = smallest_distance(r);
        item["distances"] = r.distances;
        item["echoes"] = echoes;
        polys.push_back(item);
    }
    nlohmann::ordered_json out;
    out["order"] = request.order;
    out["pw50"] = request.model.pw50;
    out["pulse"] = pulse_name(request.model.pulse);
    out["medium"] = medium_name(request.model.medium);
    out["window"] = request.window ? nlohmann::ordered_json(*request.window) : nullptr;
    out["maximal"] = chosen.maximal;
    out["polynomials"] = polys;
    return out.dump() + "\n";
}

}  // namespace keldran::echo
