#include "plot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace {

using keldran::echo::decimate_min_max;
using keldran::echo::plot_data;
using keldran::echo::render_svg;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// A dipulse at t = 0 of height about 0.5 over a period of 127 bit cells, with
// four echoes a few percent of it, each with its window of 13 points.
plot_data measurement()
{
    const auto pulse = [](double t) { return 1.0 / (1.0 + 0.64 * t * t); };
    const std::array<double, 4> locations{-30.5, 25.5, 45.5, -60.5};
    const std::array<const char*, 4> labels{"HTS", "NLTS", "2nd adjacent", "Interaction"};
    plot_data data;
    data.title = "x^7 + x^3 + 1";
    for (int i = -63; i <= 63; ++i) {
        data.t.push_back(i);
        double echoes = 0.0;
        for (const double location : locations) {
            echoes += 0.02 * (pulse(i - location) - pulse(i - location - 1.0));
        }
        data.correlation.push_back(pulse(i) - pulse(i - 1.0) + echoes);
    }
    for (std::size_t k = 0; k < locations.size(); ++k) {
        auto& echo = data.echoes.at(k);
        echo.label = labels.at(k);
        echo.location = locations.at(k);
        echo.separable = true;
        for (int i = -6; i <= 6; ++i) {
            const double u = i - 0.5;
            echo.t.push_back(locations.at(k) + i);
            echo.model.push_back(0.02 * (pulse(u) - pulse(u - 1.0)));
            echo.measured.push_back(echo.model.back() + 0.001 * ((i % 3) - 1));
        }
    }
    return data;
}

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The HTS panel with its shift and asymmetry drawn apart, and its figures named.
TEST(PlotSvg, NamesEachEchosFiguresAndDrawsItsParts)
{
    plot_data data = measurement();
    keldran::echo::plot_echo& hts = data.echoes.front();
    hts.figures.size = 0.0613;
    hts.figures.shift = 0.05021;
    hts.figures.shift_uncertainty = 0.00019;
    hts.figures.read_asymmetry = keldran::echo::fitted_value{0.0958, 0.0014};
    hts.parts = {{keldran::echo::echo_part::shift, hts.model},
                 {keldran::echo::echo_part::asymmetry, std::vector<double>(hts.t.size(), 0.001)}};
    data.echoes.at(1).figures.partial_erasure = keldran::echo::fitted_value{0.0988, 0.0014};
    const std::string svg = render_svg(data);
    for (const char* line :
         {">size 0.0613<", ">shift 0.0502 \u00b1 0.0002<", ">asymmetry 0.0958 \u00b1 0.0014<",
          ">erasure 0.0988 \u00b1 0.0014<"}) {
        EXPECT_NE(svg.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(occurrences(svg, "stroke-dasharray=\"5 3\""), 2U);
}

void expect_whole_document(const std::string& svg)
{
    EXPECT_TRUE(svg.starts_with("<svg "));
    EXPECT_TRUE(svg.ends_with("</svg>\n"));
    EXPECT_EQ(occurrences(svg, "<g"), occurrences(svg, "</g>"));
    EXPECT_EQ(occurrences(svg, "<text"), occurrences(svg, "</text>"));
}

TEST(PlotSvg, NamesEveryPartOfTheFigure)
{
    const std::string svg = render_svg(measurement());
    expect_whole_document(svg);
    for (const char* part :
         {">x^7 + x^3 + 1</text>", ">Main response</text>", ">HTS</text>", ">NLTS</text>",
          ">2nd adjacent</text>", ">Interaction</text>", ">HTS at -30.5</text>",
          ">NLTS at +25.5</text>", ">2nd adjacent at +45.5</text>", ">Interaction at -60.5</text>",
          ">One period of the correlation</text>", ">Each echo enlarged, on its own scale</text>",
          ">measured</text>", ">fitted</text>", ">bit cells</text>",
          ">correlation (read-back at unit power)</text>", "font-family=\"sans-serif\""}) {
        EXPECT_NE(svg.find(part), std::string::npos) << part;
    }
}

TEST(PlotSvg, EscapesTheTitleForXml)
{
    plot_data data = measurement();
    data.title = "x^7 <A&B> \"q\"";
    const std::string svg = render_svg(data);
    EXPECT_NE(svg.find(">x^7 &lt;A&amp;B&gt; &quot;q&quot;</text>"), std::string::npos);
    EXPECT_EQ(svg.find("<A&B>"), std::string::npos);
}

TEST(PlotSvg, MarksOnlyTheEchoesThatAreNotSeparable)
{
    plot_data data = measurement();
    EXPECT_EQ(occurrences(render_svg(data), "not separable"), 0U);
    data.echoes.at(1).separable = false;
    data.echoes.at(3).separable = false;
    EXPECT_EQ(occurrences(render_svg(data), ">not separable</text>"), 2U);
}

TEST(PlotSvg, ClipsTheMainResponseOnlyWhenItDwarfsTheEchoes)
{
    const std::string clipped = ">Main response clipped (it spans -0.39 to 0.39) so that the "
                                "echoes show</text>";
    plot_data data = measurement();
    EXPECT_NE(render_svg(data).find(clipped), std::string::npos);
    for (auto& echo : data.echoes) {
        for (double& v : echo.measured) {
            v *= 20.0;
        }
    }
    EXPECT_EQ(render_svg(data).find("clipped"), std::string::npos);
}

// Degenerate measurements: each must still give a whole document with no
// non-finite number in it and a panel for every echo.
class PlotDegenerate : public testing::TestWithParam<int> {};

plot_data degenerate(int which)
{
    plot_data data = measurement();
    switch (which) {
    case 0:  // nothing measured at all
        data = plot_data{};
        break;
    case 1:  // every value zero
        std::fill(data.correlation.begin(), data.correlation.end(), 0.0);
        for (auto& echo : data.echoes) {
            std::fill(echo.measured.begin(), echo.measured.end(), 0.0);
            std::fill(echo.model.begin(), echo.model.end(), 0.0);
        }
        break;
    case 2:  // non-finite values and locations, and sizes that disagree
        data.correlation.at(5) = nan;
        data.t.at(9) = inf;
        data.correlation.pop_back();
        data.echoes.at(0).location = nan;
        data.echoes.at(1).measured.assign(3, -inf);
        data.echoes.at(2).model.assign(40, nan);
        data.echoes.at(3).t.clear();
        break;
    default:  // one point, and values far beyond any correlation
        data.t = {0.0};
        data.correlation = {1e300};
        data.echoes.at(0).measured.assign(data.echoes.at(0).t.size(), -1e300);
        break;
    }
    return data;
}

TEST_P(PlotDegenerate, WritesOnlyFiniteNumbers)
{
    const std::string svg = render_svg(degenerate(GetParam()));
    expect_whole_document(svg);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
    EXPECT_EQ(occurrences(svg, "<clipPath"), 5U);
}

INSTANTIATE_TEST_SUITE_P(Inputs, PlotDegenerate, testing::Values(0, 1, 2, 3));

TEST(PlotSvg, SaysWhenAnEchoHasNoPoints)
{
    plot_data data = measurement();
    data.echoes.at(2).t.clear();
    EXPECT_EQ(occurrences(render_svg(data), ">no points</text>"), 1U);
}

TEST(DecimateMinMax, KeepsEveryFinitePointOfAShortTrace)
{
    const std::vector<double> y{1.0, nan, 3.0, inf, -2.0};
    EXPECT_EQ(decimate_min_max(y, 5), (std::vector<std::size_t>{0, 2, 4}));
}

TEST(DecimateMinMax, KeepsThePeaksOfALongTraceInOrder)
{
    std::vector<double> y(40000);
    for (std::size_t i = 0; i < y.size(); ++i) {
        y[i] = 0.01 * std::sin(static_cast<double>(i));
    }
    y[777] = -2.0;
    y[12345] = 1.0;
    y[30000] = nan;
    const std::vector<std::size_t> kept = decimate_min_max(y, 4000);
    EXPECT_LE(kept.size(), 4000U);
    EXPECT_GE(kept.size(), 3000U);
    EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
    EXPECT_NE(std::find(kept.begin(), kept.end(), 777U), kept.end());
    EXPECT_NE(std::find(kept.begin(), kept.end(), 12345U), kept.end());
    EXPECT_EQ(std::find(kept.begin(), kept.end(), 30000U), kept.end());
}

TEST(PlotSvg, DrawsALongPeriodWithBoundedSize)
{
    plot_data data = measurement();
    data.t.resize(40000);
    data.correlation.assign(40000, 0.0);
    for (std::size_t i = 0; i < data.t.size(); ++i) {
        data.t[i] = -2047.5 + static_cast<double>(i) * 0.1;
    }
    EXPECT_LT(render_svg(data).size(), 200000U);
}

}  // namespace
