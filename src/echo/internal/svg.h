// The vocabulary the figure is drawn in: ranges of data, areas of the page
// that show them, numbers as a reader and as SVG read them, tick marks, and
// the SVG elements themselves.
#ifndef KELDRAN_ECHO_SVG_H
#define KELDRAN_ECHO_SVG_H

#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keldran::echo {

// A range of data values; empty until something is taken in.
struct interval {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
};

bool empty(const interval& r);

// Widens to take in `v` (or each of `values`), ignoring non-finite values;
// enormous ones are capped so that differences of the bounds stay finite.
void take_in(interval& r, double v);
void take_in(interval& r, std::span<const double> values);

// A range an axis can show: never empty or of zero width, padded on both sides.
interval presentable(interval r);

// An area of the page in SVG user units, and the data ranges it shows.
struct area {
    double left = 0.0;
    double top = 0.0;
    double width = 0.0;
    double height = 0.0;
    interval x;
    interval y;
};

// Where data values land on the page, and the area's far edges.
double page_x(const area& f, double v);
double page_y(const area& f, double v);
double bottom(const area& f);
double right(const area& f);

// A page coordinate, one decimal; wild data never writes "nan" or "inf".
std::string coord(double v);

// A value for a reader: three significant digits, or "?" when there is none.
std::string readable(double v);

// An echo location as the report gives it, signed: "+25.5", "-30.5".
std::string signed_location(double v);

std::string xml_escaped(std::string_view text);

// Ticks at 1, 2 or 5 times a power of ten, about `target` of them across `r`.
struct tick_set {
    std::vector<double> values;
    double step = 0.0;
};

tick_set nice_ticks(const interval& r, int target);

// A tick value with as many decimals as the step needs.
std::string tick_label(double v, double step);

// SVG elements. Attributes are passed through as written; text is escaped.
void line(std::string& svg, double x1, double y1, double x2, double y2, std::string_view style);
void text(std::string& svg, double x, double y, std::string_view content, std::string_view style);
std::string font(double size, std::string_view anchor);

// The width of `content` at type `size`, from a sans-serif glyph's mean advance.
double text_width(std::string_view content, double size);

}  // namespace keldran::echo

#endif
