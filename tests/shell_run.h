// For the tests that run a program through a shell: a fresh folder for each
// test, and the program's status and the two streams it wrote, read back.
#ifndef KELDRAN_TESTS_SHELL_RUN_H
#define KELDRAN_TESTS_SHELL_RUN_H

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
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

// An empty folder of its own for the running test, named `prefix` and the test's name.
inline std::filesystem::path fresh_test_folder(const std::string& prefix)
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = prefix + info->test_suite_name() + "_" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// Runs a shell script in `dir`, its standard output and error kept apart in files there.
inline process_result run_in_folder(const std::filesystem::path& dir, const std::string& script)
{
    const std::string command = "cd '" + dir.string() + "' && { " + script + "; } >'"
                                + (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return {status, read_file(dir / "out"), read_file(dir / "err")};
}

}  // namespace keldran_tests

#endif
