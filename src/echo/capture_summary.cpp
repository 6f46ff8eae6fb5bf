// What a capture holds, as read, for a person to check at a glance that the
// file was understood: its format, what it holds and how its values are scaled.
#include "summary.h"

#include "internal/text.h"

#include <nlohmann/json.hpp>

namespace keldran::echo {

namespace {

// A label and its value, the values in one column.
std::string row(std::string_view label, const std::string& value)
{
    constexpr std::size_t label_width = 18;
    std::string text(label);
    text.resize(std::max(label_width, text.size() + 1), ' ');
    return text + value + "\n";
}

std::string with_units(double value, const capture_info& info)
{
    return short_number(value) + (info.units.empty() ? std::string() : " " + info.units);
}

std::string one_of(std::int64_t count, std::int64_t chosen)
{
    return std::to_string(count) + (count > 1 ? ", reading " + std::to_string(chosen) : "");
}

std::string samples_row(const capture_info& info)
{
    std::string text = std::to_string(info.samples) + " read";
    if (info.declared_samples) {
        text += " (the header declares " + std::to_string(*info.declared_samples) + ")";
    }
    return text;
}

std::string interval_row(const capture_info& info)
{
    if (!info.sample_interval) {
        return "not stated";
    }
    return short_number(*info.sample_interval) + " s (" + short_number(1 / *info.sample_interval)
           + " samples/s)";
}

std::string scale_row(const capture_info& info)
{
    std::string text = std::to_string(info.sample_bits) + " bits";
    if (info.gain != 1 || info.offset != 0) {
        text += ", value = " + short_number(info.gain) + " * stored "
                + (info.offset < 0 ? "- " : "+ ") + short_number(std::abs(info.offset));
    }
    return text;
}

nlohmann::ordered_json optional_number(const auto& value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

std::string capture_table(const capture_info& info)
{
    std::string version = info.version.empty() ? std::string() : " " + info.version;
    std::string text = row("Format", std::string(format_title(info.format)) + version);
    if (!info.instrument.empty()) {
        text += row("Instrument", keldran::echo::quoted(info.instrument));
    }
    if (!info.label.empty()) {
        text += row("Label", keldran::echo::quoted(info.label));
    }
    text += row("Channels", one_of(info.channels, info.channel));
    text += row("Segments", one_of(info.segments, info.segment));
    text += row("Samples", samples_row(info));
    text += row("Sample interval", interval_row(info));
    text += row("Stored samples", scale_row(info));
    if (info.samples > 0) {
        text += row("First value", with_units(info.first, info));
        text += row("Last value", with_units(info.last, info));
    }
    return text;
}

std::string capture_json(const capture_info& info)
{
    nlohmann::ordered_json out;
    out["format"] = format_name(info.format);
    out["format_title"] = format_title(info.format);
    out["version"] = info.version;
    out["instrument"] = info.instrument;
    out["label"] = info.label;
    out["channels"] = info.channels;
    out["channel"] = info.channel;
    out["segments"] = info.segments;
    out["segment"] = info.segment;
    out["samples"] = info.samples;
    out["declared_samples"] = optional_number(info.declared_samples);
    out["sample_interval"] = optional_number(info.sample_interval);
    out["sample_bits"] = info.sample_bits;
    out["gain"] = info.gain;
    out["offset"] = info.offset;
    out["units"] = info.units;
    const bool any = info.samples > 0;
    out["first"] = any ? nlohmann::ordered_json(info.first) : nullptr;
    out["last"] = any ? nlohmann::ordered_json(info.last) : nullptr;
    return out.dump() + "\n";
}

}  // namespace keldran::echo
