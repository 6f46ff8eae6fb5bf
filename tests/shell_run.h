// For the tests that run a program through a shell: a fresh folder for each
// test, and the program's status and the two streams it wrote, read back.
#ifndef KELDRAN_TESTS_SHELL_RUN_H
#define KELDRAN_TESTS_SHELL_RUN_H

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
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
    // The clock's count keeps apart two runs of the same test at once (a build's and a check's).
    std::string name =
        prefix + info->test_suite_name() + "_" + info->name() + "_"
        + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::replace(name.begin(), name.end(), '/', '_');
    std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// A test that works in an empty folder of its own, `dir`, removed after it.
class folder_test : public testing::Test {
protected:
    std::filesystem::path dir;

    void SetUp() override { dir = fresh_test_folder("keldran_"); }

    void TearDown() override { std::filesystem::remove_all(dir); }
};

// Text as the Linux programs write it. The Windows programs' text streams end their lines with
// CRLF; the expectations here are Linux's, so a CR before a line end is dropped when they are
// under test (windows_test holds the CRs themselves to account).
inline std::string as_linux_text(std::string text)
{
#ifdef KELDRAN_WINDOWS_PROGRAMS
    std::string::size_type kept = 0;
    for (std::string::size_type at = 0; at < text.size(); ++at) {
        if (!(text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n')) {
            text[kept++] = text[at];
        }
    }
    text.resize(kept);
#endif
    return text;
}

// Runs a shell script in `dir`, its standard output and error kept apart in the files out and
// err there, and returns them as Linux text.
inline process_result run_in_folder(const std::filesystem::path& dir, const std::string& script)
{
    const std::string command = "cd '" + dir.string() + "' && { " + script + "; } >'"
                                + (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return {status, as_linux_text(read_file(dir / "out")), as_linux_text(read_file(dir / "err"))};
}

}  // namespace keldran_tests

#endif
