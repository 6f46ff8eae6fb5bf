// What differs between the systems the programs run on, kept in one place: how the standard
// streams are set up and handed back, and how the C heap is tuned.
#ifndef KELDRAN_PLATFORM_H
#define KELDRAN_PLATFORM_H

#include <cstddef>
#include <memory>
#include <streambuf>

namespace keldran::platform {

// Sets up standard input for reading one order from it, before anything is read, so that
// hand_back_unread_input can leave what follows the order to the next reader. Returns the
// buffer to read standard input through where std::cin's own would take too much of it, and
// null where std::cin serves.
std::unique_ptr<std::streambuf> prepare_order_input();

// At the end of the run: a regular file is left just after the last byte used; the rest of a
// typed line is dropped; a pipe never had more than that taken from it.
void hand_back_unread_input();

// Makes standard input and output carry bytes unchanged. POSIX streams already do; Windows
// would turn "\n" into "\r\n" and stop reading at a Ctrl-Z byte.
void use_binary_standard_streams();

// Keeps up to `bytes` of freed memory in the process rather than returning it to the system,
// where the C library allows it (glibc); elsewhere this does nothing.
void keep_freed_memory(std::size_t bytes);

}  // namespace keldran::platform

#endif
