// One whole run: banner, prompt, buffers, candidate polynomials, exit status.
#ifndef KELDRAN_DIALOGUE_H
#define KELDRAN_DIALOGUE_H

#include "buffers.h"

#include <istream>
#include <ostream>

namespace keldran {

inline constexpr int exit_complete = 0;  // the whole report was written
inline constexpr int exit_failure = 1;   // out of memory, or the report was not written
inline constexpr int exit_no_order = 2;  // input ended before an order was accepted

inline constexpr const char* out_of_memory_message = "Out of memory in morvane!\n";
inline constexpr const char* no_order_message = "keldran: no order was given\n";
inline constexpr const char* write_error_message =
    "keldran: the report could not be written to standard output\n";

// Runs the dialogue on the given streams: the banner and report go to out,
// prompts and messages to err, and the order is read from in. Buffers come
// from `buffers` and all go back to it before the return. Returns the exit
// status.
int run_dialogue(std::istream& in, std::ostream& out, std::ostream& err,
                 const buffer_source& buffers);

}  // namespace keldran

#endif
