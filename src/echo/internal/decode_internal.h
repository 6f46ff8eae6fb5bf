// The capture decoder's inner workings: how stored samples become values, and
// the readers of the oscilloscope files' headers, each of which says where its
// samples lie and how they are stored.
#ifndef KELDRAN_ECHO_DECODE_INTERNAL_H
#define KELDRAN_ECHO_DECODE_INTERNAL_H

#include "capture.h"
#include "errors.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace keldran::echo {

// How one stored sample is written.
enum class sample_type : std::uint8_t { i8, u8, i16, u16, i32, f32, f64 };

// Bytes in one stored sample of `type`.
std::size_t sample_width(sample_type type);

// How a run of stored samples becomes values: value = gain * stored + offset.
struct sample_plan {
    sample_type type = sample_type::f32;
    byte_order order = byte_order::little;
    double gain = 1;
    double offset = 0;
};

// The `width` bytes at `offset` as one unsigned number, assembled in `order`
// so that it reads alike on any host.
std::uint64_t stored_bits(std::span<const char> bytes, std::size_t offset, std::size_t width,
                          byte_order order);

// Header fields: signed integers and IEEE floats at `offset`, in `order`.
std::int16_t stored_i16(std::string_view bytes, std::size_t offset, byte_order order);
std::int32_t stored_i32(std::string_view bytes, std::size_t offset, byte_order order);
float stored_f32(std::string_view bytes, std::size_t offset, byte_order order);
double stored_f64(std::string_view bytes, std::size_t offset, byte_order order);

// The text of a fixed-width field: up to its first NUL, blanks at its end dropped.
std::string_view stored_text(std::string_view bytes, std::size_t offset, std::size_t width);

// Appends the values of the whole samples in `bytes` (a multiple of the sample
// width) to `out`, and says whether any is infinite or NaN.
bool append_values(const sample_plan& plan, std::span<const char> bytes, std::vector<float>& out);

// Whether every value that `plan` makes of a stored integer is a finite float32
// (a float sample is checked one by one as it is read).
bool scale_fits(const sample_plan& plan);

// Whether the first non-finite sample in `bytes` would be finite in the other byte order.
bool finite_in_other_order(const sample_plan& plan, std::span<const char> bytes);

// Raw samples enough in one piece to judge their byte order by.
inline constexpr std::size_t order_judging_samples = 256;

// Whether 16-bit samples `bytes` are far smoother from one sample to the next in the
// other byte order, as a read-back of two or more samples per bit is in the right one.
bool smoother_in_other_order(const sample_plan& plan, std::span<const char> bytes);

// What a header reader made of the bytes it was given.
struct header_step {
    enum class kind : std::uint8_t { more, failed, skip_to, samples };
    kind what = kind::more;
    std::size_t wanted = 0;   // more: bytes the header takes, at least
    std::int64_t offset = 0;  // skip_to: where the next header starts; samples: where they start
    std::int64_t count = 0;   // samples: how many
    sample_plan plan;         // samples: how they are stored
    echo_error error;         // failed
};

// The step of a header found damaged; `detail` says how, in the format's own terms.
header_step damaged_header(capture_format format, std::string detail);

// A file's header bytes from `at` on, and which of its waveforms comes there (from 1).
struct header_view {
    std::string_view bytes;
    std::int64_t at = 0;
    std::int64_t waveform = 1;
};

// Bytes a header may take before the file is taken as damaged.
inline constexpr std::size_t longest_header = std::size_t{1} << 16;

// The header of a LeCroy trace, from the file's first byte.
header_step read_trc_header(const header_view& head, const capture_layout& layout,
                            capture_info& info);

// The preamble of a Tektronix internal save file, from the file's first byte.
header_step read_isf_header(const header_view& head, const capture_layout& layout,
                            capture_info& info);

// The file header (at 0) or a waveform's headers (at `head.at`) of a Keysight binary file.
header_step read_bin_header(const header_view& head, const capture_layout& layout,
                            capture_info& info);

// The format whose signature `first` (a file's first bytes) holds, if any.
std::optional<capture_format> format_by_signature(std::string_view first);

// Bytes detection looks at before deciding.
inline constexpr std::size_t signature_bytes = 64;

// Whether `first` reads as text: no control characters but blanks and line ends.
bool looks_like_text(std::string_view first);

}  // namespace keldran::echo

#endif
