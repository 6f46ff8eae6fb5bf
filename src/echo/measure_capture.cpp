// A whole capture, from bytes to echoes: read a piece at a time through the
// decoder into the period folder, so that memory does not grow with the capture.
#include "measure.h"

#include <vector>

namespace keldran::echo {

namespace {

// Read in pieces small enough to stay in the processor's cache.
constexpr std::size_t read_chunk = std::size_t{1} << 18;

// Feeds every byte of the source through the decoder into the folder.
echo_error read_through(const byte_source& source, capture_decoder& decoder, period_folder& folder)
{
    std::vector<char> bytes(read_chunk);
    std::vector<float> samples;
    samples.reserve(read_chunk);
    for (;;) {
        const byte_read got = source(bytes);
        samples.clear();
        const bool ended = got.size == 0 || got.failed;
        echo_error error = got.size > 0
                               ? decoder_feed(decoder, std::span(bytes).first(got.size), samples)
                               : echo_error{};
        // A source that fails has ended too: what it gave is decoded to its end first.
        if (!error && ended) {
            error = decoder_finish(decoder, samples);
        }
        if (!error) {
            error = folder_feed(folder, samples);
        }
        if (!error && got.failed) {
            error = {.code = echo_errc::read_failed, .text = got.reason};
        }
        if (error || ended) {
            return error;
        }
    }
}

}  // namespace

capture_measurement measure_capture(const polynomial& poly, capture_layout layout,
                                    double samples_per_bit, const byte_source& source,
                                    std::optional<recording_medium> medium)
{
    capture_measurement out;
    const decoder_handle decoder = decoder_create(layout);
    folder_handle folder = folder_create(sequence_length(poly.order), samples_per_bit);
    out.error = read_through(source, *decoder, *folder);
    if (!out.error && decoder_samples(*decoder) == 0) {
        out.error = {.code = echo_errc::no_samples};
    }
    if (out.error) {
        return out;
    }
    out.folded = folder_finish(*folder);
    // The folder's sums go back to the heap, where the fit's buffers find them
    // without the page faults of growing it.
    folder.reset();
    out.error = out.folded.error;
    if (out.error) {
        return out;
    }
    out.result = measure_period(poly, out.folded.period, out.folded.rate, medium);
    out.error = out.result.error;
    return out;
}

}  // namespace keldran::echo
