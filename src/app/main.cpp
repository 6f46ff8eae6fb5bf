// Entry point: binds the dialogue to the standard streams and the C heap.
#include "buffers.h"
#include "dialogue.h"

#include <cstdio>
#include <iostream>

int main()
{
    // Read standard input unbuffered so that nothing past the accepted order
    // is taken from it: the next reader of the same file or pipe gets the rest.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    const int status =
        keldran::run_dialogue(std::cin, std::cout, std::cerr, keldran::heap_buffers());
    // The byte that ended the number was looked at and pushed back. On a
    // seekable input, flushing stdin moves the file offset back before it (a
    // POSIX guarantee), so that byte too is left for the next reader; on a
    // pipe it cannot be returned and the call does nothing.
    // cppcheck-suppress fflushOnInputStream ; the POSIX behaviour above is the one relied on
    std::fflush(stdin);
    return status;
}
