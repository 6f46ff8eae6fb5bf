// What the tests that run a program through a shell read back: its status and
// the two streams it wrote, each kept in a file.
#ifndef KELDRAN_TESTS_PROCESS_RESULT_H
#define KELDRAN_TESTS_PROCESS_RESULT_H

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace keldran_tests {

struct process_result {
    int status;
    std::string out;
    std::string err;
};

// The whole of a file, byte for byte; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace keldran_tests

#endif
