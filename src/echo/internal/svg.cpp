#include "svg.h"

#include "text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace keldran::echo {

namespace {

// The mean advance of a sans-serif glyph per unit of type size.
constexpr double glyph_advance = 0.58;
constexpr double range_pad = 0.08;
constexpr double flat_range_share =
    0.1;  // a flat trace gets this share of its size above and below
constexpr int most_ticks = 40;
constexpr double tick_tolerance = 1e-9;
constexpr double zero_snap = 1e-6;  // tick values this many steps from zero are zero
constexpr double fixed_notation_low = 1e-5;
constexpr double fixed_notation_high = 1e5;
constexpr int general_digits = 3;
constexpr int max_decimals = 8;
constexpr double value_limit = 1e150;  // beyond this a value is treated as unbounded
constexpr double coordinate_limit = 1e6;

}  // namespace

bool empty(const interval& r)
{
    return r.lo > r.hi;
}

// Widens to take in `v`, ignoring non-finite values; enormous ones are capped so
// that differences of the bounds stay finite.
void take_in(interval& r, double v)
{
    if (!std::isfinite(v)) {
        return;
    }
    v = std::clamp(v, -value_limit, value_limit);
    r.lo = std::min(r.lo, v);
    r.hi = std::max(r.hi, v);
}

void take_in(interval& r, std::span<const double> values)
{
    for (const double v : values) {
        take_in(r, v);
    }
}

// A range an axis can show: never empty or of zero width, padded on both sides.
interval presentable(interval r)
{
    if (empty(r)) {
        return {-1.0, 1.0};
    }
    if (r.hi - r.lo <= std::max(std::abs(r.lo), std::abs(r.hi)) * tick_tolerance) {
        const double half = r.lo == 0.0 ? 1.0 : std::abs(r.lo) * flat_range_share;
        return {r.lo - half, r.hi + half};
    }
    const double pad = (r.hi - r.lo) * range_pad;
    return {r.lo - pad, r.hi + pad};
}

double page_x(const area& f, double v)
{
    return f.left + (v - f.x.lo) / (f.x.hi - f.x.lo) * f.width;
}

double page_y(const area& f, double v)
{
    return f.top + f.height - (v - f.y.lo) / (f.y.hi - f.y.lo) * f.height;
}

double bottom(const area& f)
{
    return f.top + f.height;
}

double right(const area& f)
{
    return f.left + f.width;
}

// A page coordinate. Wild data must not be able to write "nan" or "inf".
std::string coord(double v)
{
    if (!std::isfinite(v)) {
        v = 0.0;
    }
    return formatted(std::clamp(v, -coordinate_limit, coordinate_limit), std::chars_format::fixed,
                     1);
}

// A value for a reader: three significant digits, or "?" when there is none.
std::string readable(double v)
{
    if (!std::isfinite(v)) {
        return "?";
    }
    return formatted(v, std::chars_format::general, general_digits);
}

// An echo location as the report gives it, signed: "+25.5", "-30.5".
std::string signed_location(double v)
{
    if (!std::isfinite(v)) {
        return "?";
    }
    constexpr int digits = 6;
    const std::string text = formatted(v, std::chars_format::general, digits);
    return v > 0.0 ? "+" + text : text;
}

std::string xml_escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            // Control characters are not allowed in XML 1.0 text at all.
            out += static_cast<unsigned char>(c) < ' ' ? ' ' : c;
        }
    }
    return out;
}

tick_set nice_ticks(const interval& r, int target)
{
    tick_set ticks;
    const double raw = (r.hi - r.lo) / target;
    if (!std::isfinite(raw) || raw <= 0.0) {
        return ticks;
    }
    constexpr double below_two = 1.5;
    constexpr double below_five = 3.5;
    constexpr double below_ten = 7.5;
    constexpr double two = 2.0;
    constexpr double five = 5.0;
    constexpr double ten = 10.0;
    const double magnitude = std::pow(ten, std::floor(std::log10(raw)));
    const double mantissa = raw / magnitude;
    ticks.step = magnitude
                 * (mantissa < below_two    ? 1.0
                    : mantissa < below_five ? two
                    : mantissa < below_ten  ? five
                                            : ten);
    const double first = std::ceil(r.lo / ticks.step) * ticks.step;
    for (int k = 0; k < most_ticks; ++k) {
        const double v = first + k * ticks.step;
        if (v > r.hi + ticks.step * tick_tolerance) {
            break;
        }
        ticks.values.push_back(std::abs(v) < ticks.step * zero_snap ? 0.0 : v);
    }
    return ticks;
}

// A tick value with as many decimals as the step needs.
std::string tick_label(double v, double step)
{
    if (step < fixed_notation_low || step >= fixed_notation_high) {
        return readable(v);
    }
    const int decimals =
        std::clamp(static_cast<int>(-std::floor(std::log10(step))), 0, max_decimals);
    return formatted(v, std::chars_format::fixed, decimals);
}

// SVG elements. Attributes are passed through as written; text is escaped.
void line(std::string& svg, double x1, double y1, double x2, double y2, std::string_view style)
{
    svg += "<line x1=\"" + coord(x1) + "\" y1=\"" + coord(y1) + "\" x2=\"" + coord(x2) + "\" y2=\""
           + coord(y2) + "\" ";
    svg += style;
    svg += "/>\n";
}

void text(std::string& svg, double x, double y, std::string_view content, std::string_view style)
{
    svg += "<text x=\"" + coord(x) + "\" y=\"" + coord(y) + "\" ";
    svg += style;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "literal" + string&&.
    svg += '>';
    svg += xml_escaped(content);
    svg += "</text>\n";
}

std::string font(double size, std::string_view anchor)
{
    return "font-size=\"" + coord(size) + "\" text-anchor=\"" + std::string(anchor) + "\"";
}

double text_width(std::string_view content, double size)
{
    return static_cast<double>(content.size()) * size * glyph_advance;
}

}  // namespace keldran::echo
