// Captured read-backs: decoding the sample formats an oscilloscope or a
// simulation writes, a chunk of bytes at a time, so that a capture of any
// length is read as a stream.
#ifndef KELDRAN_ECHO_CAPTURE_H
#define KELDRAN_ECHO_CAPTURE_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keldran::echo {

enum class capture_format { f32, i16, csv };

// The format named "f32", "i16" or "csv", or nothing for any other name.
std::optional<capture_format> format_named(std::string_view name);

// The format a file name's extension ".f32", ".i16" or ".csv" (in any letter case)
// implies, or nothing.
std::optional<capture_format> format_of_path(std::string_view path);

// Where a decoder stands between two chunks of one capture.
struct capture_decoder {
    capture_format format = capture_format::f32;
    std::string carry;         // bytes of a sample or line that the next chunk completes
    std::int64_t line = 0;     // csv: lines taken so far
    std::int64_t samples = 0;  // samples decoded so far
    bool in_header = true;     // csv: no number seen yet, so a line of text is a header
};

// Appends the samples that `bytes` completes to `out`: f32 and i16 little-endian
// raw samples, csv one sample per line (the last comma-separated column).
// Returns an empty string, or a one-line message naming the sample or line at fault.
std::string decode_chunk(capture_decoder& decoder, std::span<const char> bytes,
                         std::vector<float>& out);

// Ends the capture: decodes a last csv line that has no line end, and reports
// a raw capture that stops inside a sample. Returns an empty string or the message.
std::string decode_end(capture_decoder& decoder, std::vector<float>& out);

}  // namespace keldran::echo

#endif
