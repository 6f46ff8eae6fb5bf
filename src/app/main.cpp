// Entry point: binds the dialogue to the standard streams and the C heap.
#include "buffers.h"
#include "dialogue.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace {

// How standard input is read decides what the accepted order leaves behind:
// - a regular file is read in blocks; flushing stdin at the end moves the
//   file offset back to just after the order (a POSIX guarantee), so the next
//   reader of the file gets everything after it;
// - a terminal hands over whole typed lines; the rest of the line with the
//   order is read with it and dropped, so that it never reaches the shell;
// - anything else, a pipe, cannot take bytes back: it is read a byte at a
//   time, so only the byte that ended the number is taken from it.
void choose_input_buffering()
{
    const bool seekable = lseek(STDIN_FILENO, 0, SEEK_CUR) != -1;
    if (!seekable && isatty(STDIN_FILENO) == 0) {
        std::setvbuf(stdin, nullptr, _IONBF, 0);
    }
}

}  // namespace

int main()
{
    choose_input_buffering();
    const int status =
        keldran::run_dialogue(std::cin, std::cout, std::cerr, keldran::heap_buffers());
    // cppcheck-suppress fflushOnInputStream ; the POSIX behaviour above is the one relied on
    std::fflush(stdin);
    return status;
}
