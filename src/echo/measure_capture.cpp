// A whole capture, from bytes to echoes: read a piece at a time through the
// decoder into the period folder, so that memory does not grow with the capture.
#include "measure.h"

#include <algorithm>
#include <vector>

namespace keldran::echo {

namespace {

// Read in pieces small enough to stay in the processor's cache.
constexpr std::size_t read_chunk = std::size_t{1} << 18;
// Bytes decoded at a time before the folder is made: more than most headers take.
constexpr std::size_t header_piece = std::size_t{1} << 12;

// A capture on its way from bytes to the folder. Samples wait in `pending` until
// the decoder knows what fixes the rate, and so the folder can be made.
struct reading {
    const polynomial& poly;
    const rate_request& request;
    decoder_handle decoder;
    folder_handle folder;
    std::vector<float> pending;
    capture_rates rates;
};

echo_error start_folding(reading& r)
{
    if (echo_error error =
            fix_rates(r.request, decoder_info(*r.decoder).sample_interval, r.rates)) {
        return error;
    }
    r.folder = folder_create(sequence_length(r.poly.order), r.rates.samples_per_bit);
    echo_error error = folder_feed(*r.folder, r.pending);
    r.pending = {};
    return error;
}

echo_error fold_samples(reading& r, const std::vector<float>& samples, bool ended)
{
    if (r.folder) {
        return folder_feed(*r.folder, samples);
    }
    r.pending.insert(r.pending.end(), samples.begin(), samples.end());
    const bool ready = ended || decoder_ready(*r.decoder);
    if (!ready || (ended && decoder_samples(*r.decoder) == 0)) {
        return {};
    }
    return start_folding(r);
}

// Decodes one chunk of the capture into the folder. Until the folder is made, the
// chunk goes to the decoder a piece at a time, so that the folder is made as soon as
// the header is read and 8-bit samples go to it as they are stored.
echo_error feed_chunk(reading& r, std::span<const char> chunk, std::vector<float>& samples)
{
    while (!chunk.empty()) {
        const std::size_t size = r.folder ? chunk.size() : std::min(chunk.size(), header_piece);
        samples.clear();
        stored_samples stored;
        echo_error error = r.folder
                               ? decoder_feed_stored(*r.decoder, chunk.first(size), samples, stored)
                               : decoder_feed(*r.decoder, chunk.first(size), samples);
        if (!error) {
            error = fold_samples(r, samples, false);
        }
        if (!error && !stored.bytes.empty()) {
            error = folder_feed_stored(*r.folder, stored);
        }
        if (error) {
            return error;
        }
        chunk = chunk.subspan(size);
    }
    return {};
}

// Feeds every byte of the source through the decoder into the folder.
echo_error read_through(const byte_source& source, reading& r)
{
    std::vector<char> bytes(read_chunk);
    std::vector<float> samples;
    for (;;) {
        const byte_read got = source(bytes);
        const bool ended = got.size == 0 || got.failed;
        echo_error error = feed_chunk(r, std::span(bytes).first(got.size), samples);
        // A source that fails has ended too: what it gave is decoded to its end first.
        if (!error && ended) {
            samples.clear();
            error = decoder_finish(*r.decoder, samples);
            if (!error) {
                error = fold_samples(r, samples, true);
            }
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

capture_measurement measure_capture(const polynomial& poly, const capture_layout& layout,
                                    const rate_request& request, const byte_source& source,
                                    std::optional<recording_medium> medium)
{
    capture_measurement out;
    out.error = check_rate_request(request);
    if (out.error) {
        return out;
    }
    reading r{poly, request, decoder_create(layout), nullptr, {}, {}};
    out.error = read_through(source, r);
    out.info = decoder_info(*r.decoder);
    out.signs = decoder_signs(*r.decoder);
    out.rates = r.rates;
    if (!out.error && decoder_samples(*r.decoder) == 0) {
        out.error = {.code = echo_errc::no_samples};
    }
    if (out.error) {
        return out;
    }
    out.folded = folder_finish(*r.folder);
    // The folder's sums go back to the heap, where the fit's buffers find them
    // without the page faults of growing it.
    r.folder.reset();
    out.error = out.folded.error;
    if (out.error) {
        return out;
    }
    out.result = measure_period(poly, out.folded.period, out.folded.rate, medium);
    out.error = out.result.error;
    return out;
}

}  // namespace keldran::echo
