// Captured read-backs: decoding the sample formats an oscilloscope or a
// simulation writes, a chunk of bytes at a time, so that a capture of any
// length is read as a stream.
#ifndef KELDRAN_ECHO_CAPTURE_H
#define KELDRAN_ECHO_CAPTURE_H

#include "errors.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace keldran::echo {

// Raw samples (signed and unsigned 8-bit, signed 16-bit, float32, float64) or csv text.
enum class capture_format : std::uint8_t { i8, u8, i16, f32, f64, csv };

// The order of a raw sample's bytes.
enum class byte_order : std::uint8_t { little, big };

// How a capture is written: its format and, for raw samples, their byte order.
struct capture_layout {
    capture_format format = capture_format::f32;
    byte_order order = byte_order::little;
};

// The format named "i8", "u8", "i16", "f32", "f64" or "csv", or nothing for any other name.
std::optional<capture_format> format_named(std::string_view name);

// The format a file name's extension (".i8", ".u8", ".i16", ".f32", ".f64" or ".csv",
// in any letter case) implies, or nothing.
std::optional<capture_format> format_of_path(std::string_view path);

// The byte order named "little" or "big", or nothing for any other name.
std::optional<byte_order> byte_order_named(std::string_view name);

// Where the decoding of one capture stands between two chunks of it.
struct capture_decoder;
struct capture_decoder_free {
    void operator()(capture_decoder* decoder) const;
};
using decoder_handle = std::unique_ptr<capture_decoder, capture_decoder_free>;

// A decoder for a capture laid out as `layout`: raw samples in its byte order, or
// csv, one sample per line (the last comma-separated column).
decoder_handle decoder_create(capture_layout layout);

// Appends the samples that `bytes` completes to `out`; on a fault, the error
// names the sample or line, and `out` holds the samples before it.
echo_error decoder_feed(capture_decoder& decoder, std::span<const char> bytes,
                        std::vector<float>& out);

// Ends the capture: decodes a last csv line that has no line end, and reports
// a raw capture that stops inside a sample.
echo_error decoder_finish(capture_decoder& decoder, std::vector<float>& out);

// Samples decoded so far.
std::int64_t decoder_samples(const capture_decoder& decoder);

}  // namespace keldran::echo

#endif
