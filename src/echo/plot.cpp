// The measurement as plain SVG 1.1 text. The echoes are a few percent of the
// main response, so the top panel scales its y axis to them and clips the main
// response (saying so); each echo then gets a panel on its own scale.
#include "plot.h"

#include "internal/svg.h"
#include "internal/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

namespace keldran::echo {

namespace {

// Page layout, in SVG user units (one unit renders as one pixel).
constexpr double page_width = 1080.0;
constexpr double page_height = 790.0;
constexpr double plot_left = 84.0;
constexpr double plot_right = 1050.0;
constexpr double title_baseline = 30.0;
constexpr double caption_baseline = 56.0;
constexpr double top_panel_top = 66.0;
constexpr double top_panel_bottom = 346.0;
constexpr double echo_heading_baseline = 416.0;
constexpr double echo_panel_top = 468.0;
constexpr double echo_panel_bottom = 666.0;
constexpr double echo_panel_gap = 66.0;
constexpr double echo_title_rise = 24.0;  // echo panel title baseline, above the panel
constexpr double echo_note_rise = 8.0;    // "not separable", above the panel
constexpr double tick_length = 5.0;
constexpr double tick_label_drop = 17.0;  // x tick labels, below the axis
constexpr double tick_label_gap = 8.0;    // y tick labels, left of the axis
constexpr double axis_label_drop = 36.0;  // "bit cells", below the axis
constexpr double y_label_offset = 62.0;   // "correlation", left of the axis
constexpr double legend_swatch = 22.0;    // length of the fitted line in the legend
constexpr double legend_spacing = 96.0;

// Type sizes.
constexpr double title_size = 18.0;
constexpr double caption_size = 13.0;
constexpr double label_size = 12.0;
constexpr double tick_size = 11.0;

// Echo labels in the top panel: rows of labels above the data, as many as it
// takes for no two labels in a row to touch.
constexpr double label_row_height = 16.0;
constexpr double label_row_first = 14.0;  // baseline of the first row below the panel top
constexpr double label_spacing = 10.0;    // least room between two labels in one row
constexpr double label_band_pad = 6.0;

// Scales. The top panel clips at this many times the largest value near the
// echoes, and only when the main response is several times larger than that.
constexpr double echo_headroom = 1.4;
constexpr double clip_worthwhile = 0.5;
constexpr int top_ticks = 8;
constexpr int echo_ticks = 4;

// Point counts. More points than pixel columns add nothing but size.
constexpr std::size_t max_trace_points = 4000;
constexpr std::size_t max_echo_points = 1000;

// Strokes and colours.
constexpr double dot_radius = 2.0;
constexpr std::string_view trace_colour = "#1f5fa8";
constexpr std::string_view measured_colour = "#1f5fa8";
constexpr std::string_view model_colour = "#d62728";
// The fitted parts of an echo: its shift, partial erasure, the head's asymmetry.
constexpr std::array<std::string_view, 3> part_colours{"#2ca02c", "#9467bd", "#ff7f0e"};
// Lines naming an echo's figures, below its panel.
constexpr double figure_first_drop = 56.0;
constexpr double figure_line_height = 15.0;
constexpr int figure_places = 4;
constexpr std::string_view marker_colour = "#808080";
constexpr std::string_view grid_colour = "#e4e4e4";
constexpr std::string_view warning_colour = "#b00020";

// Appends the indices of the lowest and the highest finite value of y[first, last),
// the earlier first; nothing when the run has no finite value.
void keep_extremes(std::span<const double> y, std::size_t first, std::size_t last,
                   std::vector<std::size_t>& keep)
{
    std::size_t low = last;
    std::size_t high = last;
    for (std::size_t i = first; i < last; ++i) {
        if (std::isfinite(y[i])) {
            low = (low == last || y[i] < y[low]) ? i : low;
            high = (high == last || y[i] > y[high]) ? i : high;
        }
    }
    if (low != last) {
        keep.push_back(std::min(low, high));
        if (low != high) {
            keep.push_back(std::max(low, high));
        }
    }
}

}  // namespace

std::vector<std::size_t> decimate_min_max(std::span<const double> y, std::size_t max_points)
{
    std::vector<std::size_t> keep;
    if (y.size() <= max_points) {
        for (std::size_t i = 0; i < y.size(); ++i) {
            if (std::isfinite(y[i])) {
                keep.push_back(i);
            }
        }
        return keep;
    }
    const std::size_t runs = std::max<std::size_t>(1, max_points / 2);
    for (std::size_t run = 0; run < runs; ++run) {
        keep_extremes(y, run * y.size() / runs, (run + 1) * y.size() / runs, keep);
    }
    return keep;
}

namespace {

// Centred text on a white patch, readable over the dashed lines it may cross.
void backed_text(std::string& svg, double centre, double baseline, std::string_view content)
{
    const double width = text_width(content, label_size);
    svg += "<rect x=\"" + coord(centre - width / 2) + "\" y=\"" + coord(baseline - label_size)
           + "\" width=\"" + coord(width) + "\" height=\"" + coord(label_size + label_band_pad / 2)
           + "\" fill=\"white\"/>\n";
    text(svg, centre, baseline, content, font(label_size, "middle"));
}

void clip_region(std::string& svg, std::string_view id, const area& f)
{
    svg += "<clipPath id=\"" + std::string(id) + "\"><rect x=\"" + coord(f.left) + "\" y=\""
           + coord(f.top) + "\" width=\"" + coord(f.width) + "\" height=\"" + coord(f.height)
           + "\"/></clipPath>\n";
}

// Grid lines, ticks and tick labels for both axes of `f`, and its outline
// from `outline_top` down (the top panel's outline takes in its label rows).
void axes(std::string& svg, const area& f, double outline_top, int x_target, int y_target)
{
    const std::string grid = "stroke=\"" + std::string(grid_colour) + "\" stroke-width=\"1\"";
    const std::string tick_style = "stroke=\"black\" stroke-width=\"1\"";
    const tick_set ys = nice_ticks(f.y, y_target);
    for (const double v : ys.values) {
        const double y = page_y(f, v);
        line(svg, f.left, y, right(f), y, grid);
        line(svg, f.left - tick_length, y, f.left, y, tick_style);
        text(svg, f.left - tick_label_gap, y + tick_size / 3, tick_label(v, ys.step),
             font(tick_size, "end"));
    }
    const tick_set xs = nice_ticks(f.x, x_target);
    for (const double v : xs.values) {
        const double x = page_x(f, v);
        line(svg, x, bottom(f), x, bottom(f) + tick_length, tick_style);
        text(svg, x, bottom(f) + tick_label_drop, tick_label(v, xs.step),
             font(tick_size, "middle"));
    }
    svg += "<rect x=\"" + coord(f.left) + "\" y=\"" + coord(outline_top) + "\" width=\""
           + coord(f.width) + "\" height=\"" + coord(bottom(f) - outline_top)
           + "\" fill=\"none\" stroke=\"black\" stroke-width=\"1\"/>\n";
}

void y_axis_label(std::string& svg, const area& f)
{
    const double x = f.left - y_label_offset;
    const double y = f.top + f.height / 2;
    text(svg, x, y, "correlation (read-back at unit power)",
         font(label_size, "middle") + " transform=\"rotate(-90 " + coord(x) + " " + coord(y)
             + ")\"");
}

// The points of `t`, `y` worth drawing, as one path through them.
void trace(std::string& svg, const area& f, std::span<const double> t, std::span<const double> y,
           std::size_t max_points, std::string_view style)
{
    const std::size_t n = std::min(t.size(), y.size());
    std::string path;
    for (const std::size_t i : decimate_min_max(y.first(n), max_points)) {
        if (std::isfinite(t[i])) {
            path += path.empty() ? "M" : " L";
            path += coord(page_x(f, t[i])) + " " + coord(page_y(f, y[i]));
        }
    }
    if (!path.empty()) {
        svg += "<path d=\"" + path + "\" fill=\"none\" ";
        svg += style;
        svg += "/>\n";
    }
}

void dots(std::string& svg, const area& f, std::span<const double> t, std::span<const double> y)
{
    const std::size_t n = std::min(t.size(), y.size());
    svg += "<g fill=\"" + std::string(measured_colour) + "\">\n";
    for (const std::size_t i : decimate_min_max(y.first(n), max_echo_points)) {
        if (std::isfinite(t[i])) {
            svg += "<circle cx=\"" + coord(page_x(f, t[i])) + "\" cy=\"" + coord(page_y(f, y[i]))
                   + "\" r=\"" + coord(dot_radius) + "\"/>\n";
        }
    }
    svg += "</g>\n";
}

// The top panel's y range: scaled to the echoes when the main response dwarfs
// them, which is then clipped.
struct top_scale {
    interval y;
    interval main;  // the whole correlation's range
    bool clipped = false;
};

double largest_magnitude(const interval& r)
{
    return empty(r) ? 0.0 : std::max(std::abs(r.lo), std::abs(r.hi));
}

// The largest magnitude of the correlation within, and of each echo's own
// values over, the echo windows.
double echo_scale(const plot_data& data)
{
    const std::size_t n = std::min(data.t.size(), data.correlation.size());
    interval near_echoes;
    for (const plot_echo& echo : data.echoes) {
        interval window;
        take_in(window, echo.t);
        take_in(near_echoes, echo.measured);
        take_in(near_echoes, echo.model);
        for (std::size_t i = 0; i < n && !empty(window); ++i) {
            if (data.t[i] >= window.lo && data.t[i] <= window.hi) {
                take_in(near_echoes, data.correlation[i]);
            }
        }
    }
    return largest_magnitude(near_echoes);
}

top_scale top_panel_scale(const plot_data& data)
{
    top_scale scale;
    const std::size_t n = std::min(data.t.size(), data.correlation.size());
    take_in(scale.main, std::span(data.correlation).first(n));
    const double level = echo_headroom * echo_scale(data);
    if (level > 0.0 && level < clip_worthwhile * largest_magnitude(scale.main)) {
        scale.clipped = true;
        scale.y = {-level, level};
        return scale;
    }
    interval shown = scale.main;
    take_in(shown, 0.0);
    scale.y = presentable(shown);
    return scale;
}

// A label above the top panel's data, centred over its mark where there is room.
struct mark_label {
    double mark = 0.0;  // page x of what it labels
    double centre = 0.0;
    std::string content;
    bool has_line = true;
    int row = 0;
};

// Puts each label, in the order given, on the first row where it overlaps no
// label already there, so the first labels get the rows nearest the top.
// Returns the number of rows used.
int stack_labels(std::vector<mark_label>& labels, double left, double right_edge)
{
    std::vector<std::vector<interval>> rows;
    for (mark_label& label : labels) {
        const double half = text_width(label.content, label_size) / 2;
        label.centre =
            std::clamp(label.mark, left + half, std::max(left + half, right_edge - half));
        const interval room{label.centre - half - label_spacing,
                            label.centre + half + label_spacing};
        const auto clear = [&room](const std::vector<interval>& row) {
            return std::none_of(row.begin(), row.end(), [&room](const interval& taken) {
                return taken.lo < room.hi && room.lo < taken.hi;
            });
        };
        const auto row = std::find_if(rows.begin(), rows.end(), clear);
        label.row = static_cast<int>(row - rows.begin());
        if (row == rows.end()) {
            rows.push_back({});
        }
        rows.at(static_cast<std::size_t>(label.row))
            .push_back({label.centre - half, label.centre + half});
    }
    return static_cast<int>(rows.size());
}

double label_baseline(const mark_label& label, double panel_top)
{
    return panel_top + label_row_first + label.row * label_row_height;
}

// The main response's label goes over its largest value, or t = 0 without data.
mark_label main_label(const plot_data& data, const area& f)
{
    const std::size_t n = std::min(data.t.size(), data.correlation.size());
    double at = 0.0;
    double peak = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = std::abs(data.correlation[i]);
        if (std::isfinite(v) && std::isfinite(data.t[i]) && v > peak) {
            peak = v;
            at = data.t[i];
        }
    }
    return {page_x(f, at), 0.0, "Main response", false, 0};
}

std::vector<mark_label> top_labels(const plot_data& data, const area& f)
{
    std::vector<mark_label> labels{main_label(data, f)};
    for (const plot_echo& echo : data.echoes) {
        if (std::isfinite(echo.location) && !echo.label.empty()) {
            labels.push_back({page_x(f, echo.location), 0.0, std::string(echo.label), true, 0});
        }
    }
    return labels;
}

void draw_labels(std::string& svg, const std::vector<mark_label>& labels, double panel_top,
                 double panel_bottom)
{
    const std::string dashed =
        "stroke=\"" + std::string(marker_colour) + "\" stroke-width=\"1\" stroke-dasharray=\"4 3\"";
    for (const mark_label& label : labels) {
        if (label.has_line) {
            line(svg, label.mark, label_baseline(label, panel_top) + tick_length, label.mark,
                 panel_bottom, dashed);
        }
    }
    for (const mark_label& label : labels) {
        backed_text(svg, label.centre, label_baseline(label, panel_top), label.content);
    }
}

void clip_note(std::string& svg, const top_scale& scale)
{
    if (scale.clipped) {
        text(svg, plot_right, caption_baseline,
             "Main response clipped (it spans " + readable(scale.main.lo) + " to "
                 + readable(scale.main.hi) + ") so that the echoes show",
             font(caption_size, "end") + " fill=\"" + std::string(warning_colour) + "\"");
    }
}

void top_panel(std::string& svg, const plot_data& data)
{
    const top_scale scale = top_panel_scale(data);
    area f{plot_left, top_panel_top, plot_right - plot_left, top_panel_bottom - top_panel_top,
           {},        scale.y};
    take_in(f.x, std::span(data.t).first(std::min(data.t.size(), data.correlation.size())));
    for (const plot_echo& echo : data.echoes) {
        take_in(f.x, echo.location);
    }
    f.x = presentable(f.x);
    std::vector<mark_label> labels = top_labels(data, f);
    const int rows = stack_labels(labels, f.left, right(f));
    const double band = label_row_first + (rows - 1) * label_row_height + label_band_pad;
    f.top += band;
    f.height -= band;

    text(svg, plot_left, caption_baseline, "One period of the correlation",
         font(caption_size, "start"));
    clip_note(svg, scale);
    clip_region(svg, "top-panel", f);
    axes(svg, f, top_panel_top, top_ticks, top_ticks / 2);
    draw_labels(svg, labels, top_panel_top, bottom(f));
    svg += "<g clip-path=\"url(#top-panel)\">\n";
    trace(svg, f, data.t, data.correlation, max_trace_points,
          "stroke=\"" + std::string(trace_colour) + "\" stroke-width=\"1.2\"");
    svg += "</g>\n";
    text(svg, f.left + f.width / 2, bottom(f) + axis_label_drop, "bit cells",
         font(label_size, "middle"));
    y_axis_label(svg, f);
}

area echo_frame(const plot_echo& echo, std::size_t index)
{
    const double width = (plot_right - plot_left - 3 * echo_panel_gap) / 4;
    area f{plot_left + static_cast<double>(index) * (width + echo_panel_gap),
           echo_panel_top,
           width,
           echo_panel_bottom - echo_panel_top,
           {},
           {}};
    take_in(f.x, echo.t);
    take_in(f.x, echo.location);
    f.x = presentable(f.x);
    take_in(f.y, std::span(echo.measured).first(std::min(echo.t.size(), echo.measured.size())));
    take_in(f.y, std::span(echo.model).first(std::min(echo.t.size(), echo.model.size())));
    for (const plot_part& part : echo.parts) {
        take_in(f.y, std::span(part.values).first(std::min(echo.t.size(), part.values.size())));
    }
    const bool has_points = !empty(f.y);
    take_in(f.y, 0.0);
    f.y = has_points ? presentable(f.y) : interval{-1.0, 1.0};
    return f;
}

std::string_view part_colour(echo_part which)
{
    return part_colours.at(static_cast<std::size_t>(which));
}

std::string plus_minus(double value, double uncertainty)
{
    return formatted(value, std::chars_format::fixed, figure_places) + " \u00b1 "
           + formatted(uncertainty, std::chars_format::fixed, figure_places);
}

// What the panel measured, a line each: the size, and where fitted the shift,
// partial erasure and asymmetry with their uncertainties, each in the colour
// of its dashed part.
void figure_lines(std::string& svg, const plot_echo& echo, double centre, double panel_bottom)
{
    const echo_result& r = echo.figures;
    std::vector<std::pair<std::string, std::string_view>> lines{
        {"size " + formatted(r.size, std::chars_format::fixed, figure_places), "black"}};
    const bool parted = !echo.parts.empty();
    if (r.shift) {
        lines.emplace_back("shift " + plus_minus(*r.shift, r.shift_uncertainty.value_or(0)),
                           parted ? part_colour(echo_part::shift) : "black");
    }
    if (r.partial_erasure) {
        lines.emplace_back(
            "erasure " + plus_minus(r.partial_erasure->value, r.partial_erasure->uncertainty),
            part_colour(echo_part::erasure));
    }
    if (r.read_asymmetry) {
        lines.emplace_back("asymmetry "
                               + plus_minus(r.read_asymmetry->value, r.read_asymmetry->uncertainty),
                           part_colour(echo_part::asymmetry));
    }
    double y = panel_bottom + figure_first_drop;
    for (const auto& [content, colour] : lines) {
        text(svg, centre, y, content,
             font(tick_size, "middle") + " fill=\"" + std::string(colour) + "\"");
        y += figure_line_height;
    }
}

void echo_panel(std::string& svg, const plot_echo& echo, std::size_t index)
{
    const area f = echo_frame(echo, index);
    const std::string id = "echo-panel-" + std::to_string(index);
    const double centre = f.left + f.width / 2;
    text(svg, centre, f.top - echo_title_rise,
         std::string(echo.label) + " at " + signed_location(echo.location),
         font(label_size, "middle") + " font-weight=\"bold\"");
    if (!echo.separable) {
        text(svg, centre, f.top - echo_note_rise, "not separable",
             font(tick_size, "middle") + " font-style=\"italic\" fill=\""
                 + std::string(warning_colour) + "\"");
    }
    clip_region(svg, id, f);
    axes(svg, f, f.top, echo_ticks, echo_ticks);
    svg += "<g clip-path=\"url(#" + id + ")\">\n";
    if (std::isfinite(echo.location)) {
        const double x = page_x(f, echo.location);
        line(svg, x, f.top, x, bottom(f),
             "stroke=\"" + std::string(marker_colour)
                 + "\" stroke-width=\"1\" stroke-dasharray=\"4 3\"");
    }
    dots(svg, f, echo.t, echo.measured);
    trace(svg, f, echo.t, echo.model, max_trace_points,
          "stroke=\"" + std::string(model_colour) + "\" stroke-width=\"1.8\"");
    for (const plot_part& part : echo.parts) {
        trace(svg, f, echo.t, part.values, max_trace_points,
              "stroke=\"" + std::string(part_colour(part.which))
                  + "\" stroke-width=\"1.4\" stroke-dasharray=\"5 3\"");
    }
    svg += "</g>\n";
    figure_lines(svg, echo, centre, bottom(f));
    if (echo.t.empty()) {
        backed_text(svg, centre, f.top + f.height / 2, "no points");
    }
    text(svg, centre, bottom(f) + axis_label_drop, "bit cells", font(label_size, "middle"));
}

void legend(std::string& svg)
{
    const double y = echo_heading_baseline;
    double x = plot_right - 2 * legend_spacing;
    svg += "<circle cx=\"" + coord(x) + "\" cy=\"" + coord(y - label_size / 3) + "\" r=\""
           + coord(dot_radius * 2) + "\" fill=\"" + std::string(measured_colour) + "\"/>\n";
    text(svg, x + label_spacing, y, "measured", font(label_size, "start"));
    x += legend_spacing;
    line(svg, x - legend_swatch / 2, y - label_size / 3, x + legend_swatch / 2, y - label_size / 3,
         "stroke=\"" + std::string(model_colour) + "\" stroke-width=\"2\"");
    text(svg, x + legend_swatch / 2 + label_spacing / 2, y, "fitted", font(label_size, "start"));
}

void echo_row(std::string& svg, const plot_data& data)
{
    text(svg, plot_left, echo_heading_baseline, "Each echo enlarged, on its own scale",
         font(caption_size, "start"));
    legend(svg);
    for (std::size_t i = 0; i < data.echoes.size(); ++i) {
        echo_panel(svg, data.echoes.at(i), i);
    }
    y_axis_label(svg, echo_frame(data.echoes.front(), 0));
}

}  // namespace

std::string render_svg(const plot_data& data)
{
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\""
                      + coord(page_width) + "\" height=\"" + coord(page_height)
                      + "\" viewBox=\"0 0 " + coord(page_width) + " " + coord(page_height)
                      + "\" font-family=\"sans-serif\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    text(svg, page_width / 2, title_baseline, data.title,
         font(title_size, "middle") + " font-weight=\"bold\"");
    top_panel(svg, data);
    echo_row(svg, data);
    svg += "</svg>\n";
    return svg;
}

}  // namespace keldran::echo
