// The Windows programs under Wine beside the Linux ones built with this test: the same report
// with the platform's CRLF line ends, the same pattern and figures, and the zip they come in.
#include "order3_report.h"

#include "shell_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

using keldran_tests::process_result;
using keldran_tests::read_file;

namespace fs = std::filesystem;

const std::string windows_keldran = KELDRAN_EXECUTABLE;
const std::string windows_echo = KELDRAN_ECHO_EXECUTABLE;
const std::string linux_keldran = KELDRAN_LINUX_EXECUTABLE;
const std::string linux_echo = KELDRAN_LINUX_ECHO_EXECUTABLE;
const fs::path package_dir = KELDRAN_PACKAGE_DIR;
const std::string cmake_command = KELDRAN_CMAKE_COMMAND;
const std::string project_version = KELDRAN_VERSION;
// Starts a Windows program under Wine, in the prefix that the other tests use.
const std::string wine = (fs::path(windows_keldran).parent_path() / "wine").string();

constexpr double figure_tolerance = 1e-4;

std::string with_crlf(const std::string& text)
{
    std::string crlf;
    for (const char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return crlf;
}

class Windows : public keldran_tests::folder_test {
protected:
    // Runs a script in which $K and $E are the Windows programs and $LK and $LE the Linux ones.
    process_result shell(const std::string& script) const
    {
        return keldran_tests::run_in_folder(
            dir, "K='" + windows_keldran + "'; E='" + windows_echo + "'; LK='" + linux_keldran
                     + "'; LE='" + linux_echo + "'; W='" + wine + "'; " + script);
    }

    // What the last script wrote to standard output and error, byte for byte.
    [[nodiscard]] std::string raw_out() const { return read_file(dir / "out"); }
    [[nodiscard]] std::string raw_err() const { return read_file(dir / "err"); }
};

class WindowsReport : public Windows, public testing::WithParamInterface<int> {};

TEST_P(WindowsReport, IsTheLinuxReportWithCrlfLineEndsAndThePromptOnStderr)
{
    const std::string order = std::to_string(GetParam());
    const process_result r =
        shell("echo " + order + " | \"$LK\" >linux 2>/dev/null && echo " + order + " | \"$K\"");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string linux_report = read_file(dir / "linux");
    ASSERT_NE(linux_report.find("Polynomial:"), std::string::npos);
    EXPECT_TRUE(raw_out() == with_crlf(linux_report)) << "order " << order;
    EXPECT_EQ(raw_err(), "Order of polynomial (3 to 12) : ");
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, WindowsReport, testing::Range(3, 13));

TEST_F(Windows, EndOfInputGivesStatusTwoWithTheMessageOnCrlfLines)
{
    const process_result r = shell("printf '2\\r\\nabc' | \"$K\"");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(raw_err(), "Order of polynomial (3 to 12) : Order of polynomial (3 to 12) : "
                         "\r\nkeldran: no order was given\r\n");
    EXPECT_EQ(raw_out(), "KELDRAN: pseudorandom sequence generator, by Vantrel, 1994\r\n");
}

// A file written on Windows has CRLF lines; what follows the order stays for the next reader.
TEST_F(Windows, LeavesWhatFollowsTheOrderInACrlfFileToTheNextReader)
{
    std::ofstream(dir / "input", std::ios::binary) << "x\r\n5abc\r\nrest\r\n";
    const process_result r = shell("{ \"$K\" >/dev/null; cat; } < input");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(raw_out(), "abc\r\nrest\r\n");
}

TEST_F(Windows, PatternBytesAreTheLinuxOnesInEveryFormat)
{
    for (const std::string format : {"bits", "csv", "f32"}) {
        const std::string pattern =
            " pattern --poly 'x^10 + x^3 + 1' --periods 2 --format " + format;
        ASSERT_EQ(shell("\"$LE\"" + pattern).status, 0) << format;
        const std::string linux_bytes = raw_out();
        const process_result r = shell("\"$E\"" + pattern);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(linux_bytes.empty()) << format;
        EXPECT_TRUE(raw_out() == linux_bytes) << format;
    }
}

// A capture piped from one program to the other arrives byte for byte, as from a file.
TEST_F(Windows, MeasuresACapturePipedFromSimulate)
{
    const std::string poly = " --poly 'x^7 + x^3 + 1' --samples-per-bit 8 ";
    const process_result r =
        shell("\"$E\" simulate" + poly + "--nlts 0.2 -o cap.f32 && \"$E\" measure" + poly
              + "cap.f32 >from_file && \"$E\" simulate" + poly + "--nlts 0.2 | \"$E\" measure"
              + poly + "--format f32 -");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(raw_out().find("Polynomial x^7 + x^3 + 1, 127 bits per period\n"), std::string::npos);
    EXPECT_TRUE(raw_out() == read_file(dir / "from_file"));
}

// keldran-echo's standard output is binary, as on Linux; only its messages take CR LF.
TEST_F(Windows, EchoMessagesEndWithCrlf)
{
    const process_result r =
        shell("\"$E\" measure --poly 'x^7 + x^3 + 1' --samples-per-bit 8 nosuch.f32");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(raw_err(), "keldran-echo: cannot read nosuch.f32: No such file or directory\r\n");
    EXPECT_EQ(raw_out(), "");
}

// The simulated capture goes through libm and libsamplerate built for each system, and the
// figures through the whole measurement: they agree to the places that are printed.
TEST_F(Windows, MeasuresItsOwnSimulationWithTheLinuxFigures)
{
    const std::string simulate = " simulate --poly 'x^10 + x^3 + 1' --samples-per-bit 6.37 "
                                 "--periods 4 --hts 0.08 --nlts 0.22 --snr 30 --seed 7 -o ";
    const std::string measure = " measure --poly 'x^10 + x^3 + 1' --samples-per-bit 6.37 --json ";
    const process_result r =
        shell("\"$LE\"" + simulate + "l.f32 && \"$LE\"" + measure + "l.f32 >linux && \"$E\""
              + simulate + "w.f32 && \"$E\"" + measure + "w.f32");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto windows = nlohmann::json::parse(raw_out(), nullptr, false).flatten();
    const auto linux_figures = nlohmann::json::parse(read_file(dir / "linux"), nullptr, false);
    ASSERT_TRUE(linux_figures.is_object());
    EXPECT_NEAR(linux_figures["echoes"][1]["shift"].get<double>(), 0.22, 0.01);
    const auto expected = linux_figures.flatten();
    ASSERT_EQ(windows.size(), expected.size());
    for (const auto& item : expected.items()) {
        if (item.value().is_number()) {
            EXPECT_NEAR(windows[item.key()].get<double>(), item.value().get<double>(),
                        figure_tolerance)
                << item.key();
        } else {
            EXPECT_EQ(windows[item.key()], item.value()) << item.key();
        }
    }
}

class WindowsZip : public Windows {
protected:
    // Unpacks the one zip that cpack built into the test's folder; returns its top folder.
    std::string unpack() const
    {
        const std::string zip = "keldran-" + project_version + "-win64.zip";
        const process_result r =
            shell("'" + cmake_command + "' -E tar xf '" + (package_dir / zip).string() + "'");
        EXPECT_EQ(r.status, 0) << r.err;
        return "keldran-" + project_version + "-win64/";
    }
};

TEST_F(WindowsZip, HoldsBothProgramsTheReadmeAndTheLicencesInOneFolder)
{
    const std::string top = unpack();
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir / top)) {
        if (!entry.is_directory()) {
            files.insert(entry.path().lexically_relative(dir / top).string());
        }
    }
    EXPECT_EQ(files, (std::set<std::string>{
                         "keldran.exe", "keldran-echo.exe", "README.md", "LICENSE",
                         "licences/cli11.txt", "licences/kissfft.txt", "licences/libsamplerate.txt",
                         "licences/mingw-w64-runtime.txt", "licences/nlohmann-json3.txt"}));
    EXPECT_TRUE(read_file(dir / top / "LICENSE").starts_with("MIT License\n"));
}

// No DLL travels in the zip, so the programs run only if everything they need is built in.
TEST_F(WindowsZip, UnpackedProgramsRunWithNothingBesideThem)
{
    const std::string top = unpack();
    const process_result r = shell("echo 3 | \"$W\" '" + top + "keldran.exe'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(raw_out() == with_crlf(keldran_tests::order3_report()));
    const process_result version = shell("\"$W\" '" + top + "keldran-echo.exe' --version");
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(raw_out(), "keldran-echo 1.0.0\n");
}

}  // namespace
