// keldran-echo's files and messages: where its output goes, how samples are
// written, and the one-line message and status of a failure.
#ifndef KELDRAN_ECHO_TOOL_OUTPUT_H
#define KELDRAN_ECHO_TOOL_OUTPUT_H

#include <cstdio>
#include <span>
#include <string>

namespace keldran::echo::tool {

inline constexpr int status_ok = 0;
inline constexpr int status_failed = 1;
inline constexpr int status_usage = 2;

// Writes "keldran-echo: MESSAGE" as a line on standard error and returns `status`.
int fail(int status, const std::string& message);

// Output to a file named by -o, or to standard output for "-" or none.
struct output {
    std::string path;
    std::FILE* file = nullptr;
};

// Opens the output; false (with errno set) when it cannot be.
bool open_output(output& out);

// Finishes the output; false (with errno set) when any of it was lost.
bool close_output(output& out);

// The status-1 message for output that could not be written, from errno.
int write_failed(const output& out);

// Writes `text` whole to standard output: the table, JSON, help and the version.
int print_text(const std::string& text);

// Little-endian float32, whatever the host's byte order.
void write_samples(std::FILE* file, std::span<const float> samples);

// One sample per line, with the digits that bring a float32 back exactly.
void write_csv(std::FILE* file, std::span<const float> samples);

}  // namespace keldran::echo::tool

#endif
