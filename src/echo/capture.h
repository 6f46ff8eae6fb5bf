// Captured read-backs: decoding the sample formats an oscilloscope or a
// simulation writes, a chunk of bytes at a time, so that a capture of any
// length is read as a stream.
#ifndef KELDRAN_ECHO_CAPTURE_H
#define KELDRAN_ECHO_CAPTURE_H

#include "errors.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keldran::echo {

// Raw samples (signed and unsigned 8-bit, signed 16-bit, float32, float64), csv text,
// or an oscilloscope's own file: a LeCroy trace (.trc), a Tektronix internal
// save file (.isf) or a Keysight / Agilent binary waveform (.bin).
enum class capture_format : std::uint8_t { i8, u8, i16, f32, f64, csv, trc, isf, bin };

// The order of a raw sample's bytes.
enum class byte_order : std::uint8_t { little, big };

// How a capture is to be read. With no format, the decoder finds it from the
// first bytes: an oscilloscope file by its signature, text as csv, and raw samples
// only from `hint` (the format the file's name implies).
struct capture_layout {
    std::optional<capture_format> format = capture_format::f32;
    byte_order order = byte_order::little;  // raw samples only; files state their own
    std::int64_t channel = 0;  // from 1: csv's signal column, a .bin file's waveform; 0: default
    std::int64_t segment = 0;  // from 1: a sequence trace's segment; 0: none chosen
    std::optional<capture_format> hint = std::nullopt;
};

// What a capture says of itself, as far as it has been read.
// Bits of a single-precision sample, as samples are stored unless the file says otherwise.
inline constexpr std::int32_t float_bits = 32;

struct capture_info {
    capture_format format = capture_format::f32;
    std::string version;        // the file's template, preamble or version; empty for raw samples
    std::string instrument;     // the instrument's name where the file gives it
    std::string label;          // the waveform's own name or description, where given
    std::int64_t channels = 1;  // signal columns (csv) or waveforms (.bin) in the file
    std::int64_t channel = 1;   // the one read
    std::int64_t segments = 1;  // segments of a sequence trace
    std::int64_t segment = 1;   // the one read
    std::optional<std::int64_t> declared_samples;  // what the header says the waveform holds
    std::optional<double> sample_interval;         // seconds between samples, where stated
    std::int32_t sample_bits = float_bits;         // bits of one stored sample
    double gain = 1;                               // value = gain * stored + offset
    double offset = 0;                             // (its vertical scale)
    std::string units;                             // of the value, where stated: "V"
    std::int64_t samples = 0;                      // decoded so far
    float first = 0;                               // the first and the last value decoded
    float last = 0;
};

// Signs, seen while decoding, that the capture was read in the wrong format.
struct capture_signs {
    bool decimal_commas = false;      // csv numbers that look cut at a decimal comma
    bool other_order_finite = false;  // a non-finite sample that the other byte order makes finite
    bool other_order_smoother = false;  // raw 16-bit samples far smoother in the other byte order
    std::int64_t distinct_values = 0;   // among the first samples, when only a few (else 0)
};

// The format named "i8", "u8", "i16", "f32", "f64", "csv", "trc", "isf" or "bin",
// or nothing for any other name.
std::optional<capture_format> format_named(std::string_view name);

// The format's name, as format_named takes it.
std::string_view format_name(capture_format format);

// The format as people know it: "LeCroy trace", "raw float32".
std::string_view format_title(capture_format format);

// The format a file name's extension (".i8", ".u8", ".i16", ".f32", ".f64", ".csv",
// ".trc", ".isf" or ".bin", in any letter case) implies, or nothing.
std::optional<capture_format> format_of_path(std::string_view path);

// The byte order named "little" or "big", or nothing for any other name.
std::optional<byte_order> byte_order_named(std::string_view name);

// How samples stored in 8 bits stand for values: value = gain * stored + offset, each
// byte read as a signed or an unsigned number.
struct stored_scale {
    bool is_signed = true;
    float gain = 1;
    float offset = 0;
};

// A run of samples as the capture stores them, 8 bits each.
struct stored_samples {
    std::span<const char> bytes;
    stored_scale scale;
};

// The values of the stored samples from `from` on, as many as `out` holds (that many
// must follow `from`): the same values decoder_feed gives.
void stored_values(const stored_samples& samples, std::size_t from, std::span<float> out);

// Where the decoding of one capture stands between two chunks of it.
struct capture_decoder;
struct capture_decoder_free {
    void operator()(capture_decoder* decoder) const;
};
using decoder_handle = std::unique_ptr<capture_decoder, capture_decoder_free>;

// A decoder for a capture laid out as `layout`.
decoder_handle decoder_create(capture_layout layout);

// Appends the samples that `bytes` completes to `out`; on a fault, the error
// names the sample or line, and `out` holds the samples before it.
echo_error decoder_feed(capture_decoder& decoder, std::span<const char> bytes,
                        std::vector<float>& out);

// As decoder_feed, but samples stored in 8 bits are handed on as `stored`, a view
// into `bytes`, rather than appended to `out` as values; `stored` is empty otherwise.
// Samples the call appends to `out` come before those of `stored` in the capture.
echo_error decoder_feed_stored(capture_decoder& decoder, std::span<const char> bytes,
                               std::vector<float>& out, stored_samples& stored);

// Ends the capture: decodes a last csv line that has no line end, and reports
// a raw capture that stops inside a sample.
echo_error decoder_finish(capture_decoder& decoder, std::vector<float>& out);

// Samples decoded so far.
std::int64_t decoder_samples(const capture_decoder& decoder);

// Whether the format and what fixes the sample interval are known: after a file's
// header, after the first lines of csv that show its columns, or at the end.
bool decoder_ready(const capture_decoder& decoder);

// What the capture says of itself, as far as it has been read.
const capture_info& decoder_info(const capture_decoder& decoder);

// Signs of a wrong format seen so far.
capture_signs decoder_signs(const capture_decoder& decoder);

}  // namespace keldran::echo

#endif
