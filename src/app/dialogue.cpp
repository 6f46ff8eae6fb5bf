// One whole run of the program.
#include "dialogue.h"

#include "engine.h"
#include "order_input.h"
#include "report.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace keldran {

namespace {

// The run's buffers, in the order they are obtained.
enum buffer_index : std::size_t { taps_buffer, seq_buffer, work_buffer, buffer_count };

using buffer_set = std::array<std::int32_t*, buffer_count>;

void set_taps(std::int32_t* taps, std::int32_t tap_code, std::int32_t order)
{
    for (std::int32_t j = 0; j < order; ++j) {
        taps[j] = (tap_code >> j) & 1;
    }
}

// Blocks are gathered into chunks of this size, so that even the longest
// report leaves in a few dozen writes.
constexpr std::size_t report_chunk_bytes = std::size_t{64} * 1024;
static_assert(report_chunk_bytes >= max_block_bytes);

// Every odd code keeps the constant term; the code with all taps set is never
// tried. Stops early once out has failed, since the report is lost anyway.
void write_candidates(std::ostream& out, const buffer_set& held, std::int32_t order)
{
    // Only the bytes rendered are ever written out, so the chunk needs no clearing.
    std::array<char, report_chunk_bytes> chunk;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::size_t used = 0;
    const std::int32_t length = sequence_length(order);
    for (std::int32_t tap_code = 1; tap_code < length && out; tap_code += 2) {
        set_taps(held[taps_buffer], tap_code, order);
        fill_sequence(held[seq_buffer], held[taps_buffer], order);
        if (is_maximal(held[seq_buffer], order) == 0) {
            continue;
        }
        const echo_set echoes = echo_locations(held[seq_buffer], held[work_buffer], order);
        if (chunk.size() - used < max_block_bytes) {
            out.write(chunk.data(), static_cast<std::streamsize>(used));
            used = 0;
        }
        used += render_block(std::span(chunk).subspan(used), held[taps_buffer], held[seq_buffer],
                             order, echoes);
    }
    if (used > 0) {
        out.write(chunk.data(), static_cast<std::streamsize>(used));
    }
}

// Gives back the first `count` buffers, most recent first.
void release_buffers(const buffer_source& buffers, const buffer_set& held, std::size_t count)
{
    while (count > 0) {
        --count;
        buffers.release(held[count], buffers.context);
    }
}

int write_report(std::ostream& out, std::ostream& err, const buffer_source& buffers,
                 std::int32_t order)
{
    const auto length = static_cast<std::size_t>(sequence_length(order));
    const std::array<std::size_t, buffer_count> sizes{static_cast<std::size_t>(order), length,
                                                      length};
    buffer_set held{};
    for (std::size_t i = 0; i < buffer_count; ++i) {
        held[i] = buffers.obtain(sizes[i], buffers.context);
        if (held[i] == nullptr) {
            err << out_of_memory_message << std::flush;
            release_buffers(buffers, held, i);
            return exit_failure;
        }
    }
    write_length_line(out, sequence_length(order));
    write_candidates(out, held, order);
    release_buffers(buffers, held, buffer_count);
    return exit_complete;
}

}  // namespace

int run_dialogue(std::istream& in, std::ostream& out, std::ostream& err,
                 const buffer_source& buffers)
{
    out << banner;
    const std::optional<std::int32_t> order = ask_order(in, out, err);
    if (!order) {
        // The prompt has no line end, so the message starts a line of its own.
        err << '\n' << no_order_message << std::flush;
        return exit_no_order;
    }
    const int status = write_report(out, err, buffers, *order);
    if (status != exit_complete) {
        return status;
    }
    // Writes may fail late (a full disk shows only at the flush): check after the last one.
    // The prompt before the message has no line end, so the message starts a line of its own.
    if (!out.flush()) {
        err << '\n' << write_error_message << std::flush;
        return exit_failure;
    }
    return exit_complete;
}

}  // namespace keldran
