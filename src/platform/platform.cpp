// The platform's side of the standard streams and the heap: POSIX (with glibc's heap tuning)
// and Windows (the MinGW-w64 build on Microsoft's C runtime).
#include "platform.h"

#include <cstdio>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace keldran::platform {

#ifdef _WIN32

namespace {

DWORD standard_input_type()
{
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdin))));
}

// Reads standard input one byte per call. Microsoft's C runtime backs even an unbuffered
// stream with a two-byte buffer, so stdio could take a byte beyond the number from a pipe.
class single_byte_input : public std::streambuf {
protected:
    int_type underflow() override
    {
        if (_read(_fileno(stdin), &byte_, 1) != 1) {
            return traits_type::eof();
        }
        setg(&byte_, &byte_, &byte_ + 1);
        return traits_type::to_int_type(byte_);
    }

private:
    char byte_ = 0;
};

}  // namespace

// A console keeps text mode, so that Ctrl-Z ends input and a typed line arrives whole. Other
// input is read in binary mode, where the C runtime's file position is exact (in text mode it
// guesses how many CRs it removed); the order reader takes CR as white space either way.
// - a disk file is read in blocks and handed back by seeking to the position read up to;
// - a pipe cannot take bytes back, so it is read a byte at a time.
std::unique_ptr<std::streambuf> prepare_order_input()
{
    const DWORD type = standard_input_type();
    if (type == FILE_TYPE_CHAR) {
        return nullptr;
    }
    _setmode(_fileno(stdin), _O_BINARY);
    if (type == FILE_TYPE_DISK) {
        return nullptr;
    }
    return std::make_unique<single_byte_input>();
}

void hand_back_unread_input()
{
    if (standard_input_type() == FILE_TYPE_DISK) {
        std::fseek(stdin, 0, SEEK_CUR);
    }
}

void use_binary_standard_streams()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

#else

// How standard input is read decides what the accepted order leaves behind:
// - a regular file is read in blocks; flushing stdin at the end moves the file offset back
//   to just after the order (a POSIX guarantee), so the next reader gets everything after it;
// - a terminal hands over whole typed lines; the rest of the line with the order is read
//   with it and dropped, so that it never reaches the shell;
// - anything else, a pipe, cannot take bytes back: it is read a byte at a time, so only the
//   byte that ended the number is taken from it.
std::unique_ptr<std::streambuf> prepare_order_input()
{
    const bool seekable = lseek(STDIN_FILENO, 0, SEEK_CUR) != -1;
    if (!seekable && isatty(STDIN_FILENO) == 0) {
        std::setvbuf(stdin, nullptr, _IONBF, 0);
    }
    return nullptr;
}

void hand_back_unread_input()
{
    // cppcheck-suppress fflushOnInputStream ; the POSIX behaviour above is the one relied on
    std::fflush(stdin);
}

void use_binary_standard_streams() {}

#endif

#ifdef __GLIBC__
// Freed memory kept in the heap is used again without the page faults of mapping it anew,
// which can cost more than the arithmetic done in it.
void keep_freed_memory(std::size_t bytes)
{
    const int threshold = static_cast<int>(bytes);
    mallopt(M_MMAP_THRESHOLD, threshold);
    mallopt(M_TRIM_THRESHOLD, 2 * threshold);
}
#else
void keep_freed_memory(std::size_t /*bytes*/) {}
#endif

}  // namespace keldran::platform
