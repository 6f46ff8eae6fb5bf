// The real executable under a shell: pipes, files, closed and full outputs.
#include "shell_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using keldran_tests::process_result;
using keldran_tests::read_file;

const std::string keldran_path = KELDRAN_EXECUTABLE;
const std::string prompt = "Order of polynomial (3 to 12) : ";
const std::string banner = "KELDRAN: pseudorandom sequence generator, by Vantrel, 1994\n";
// The message follows the prompt on a line of its own.
const std::string prompt_then_write_error = "Order of polynomial (3 to 12) : \nkeldran: the report "
                                            "could not be written to standard output\n";

class Executable : public keldran_tests::folder_test {
protected:
    // Runs a shell script in which $K names the executable; stdout and
    // stderr of the whole script are captured apart.
    process_result shell(const std::string& script) const
    {
        return keldran_tests::run_in_folder(dir, "K='" + keldran_path + "'; " + script);
    }

    void write(const std::string& name, const std::string& text) const
    {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
};

int count_of(const std::string& text, const std::string& part)
{
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(Executable, PromptsAgainForOrdersOutOfRangeOnSeparateLines)
{
    const process_result r = shell("printf '2\\n13\\n7\\n' | \"$K\"");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, prompt + prompt + prompt);
    EXPECT_EQ(count_of(r.out, "Polynomial:"), 18);
    EXPECT_EQ(r.out.rfind(banner + "Sequence length is : 127\n", 0), 0U);
}

TEST_F(Executable, TakesTheSecondNumberOnALineWithoutWaitingForMore)
{
    // The writer keeps the pipe open: a reader that waited for more would be stopped by timeout.
    const process_result r = shell("mkfifo answer; (printf '0 5\\n'; exec sleep 20) >answer & "
                                   "timeout 5 \"$K\" <answer; status=$?; kill $!; exit $status");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, prompt + prompt);
    EXPECT_EQ(count_of(r.out, "Polynomial:"), 6);
}

TEST_F(Executable, ShowsTheBannerBeforeThePromptInAJoinedCapture)
{
    const process_result r = shell("echo 3 | \"$K\" 2>&1");
    EXPECT_EQ(r.out.rfind(banner + prompt + "Sequence length is : 7\n", 0), 0U);
}

TEST_F(Executable, LeavesEverythingAfterTheOrderToTheNextReaderOfAFile)
{
    write("input", "7.5 and the rest\nsecond line\n");
    const process_result r = shell("{ \"$K\" >/dev/null; cat; } < input");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ".5 and the rest\nsecond line\n");
}

// A pipe cannot take back the byte that ended the number; nothing else is taken.
TEST_F(Executable, TakesOnlyTheByteThatEndsTheOrderFromAPipe)
{
    const process_result r = shell("printf 'x\\n5abc\\nrest' | { \"$K\" >/dev/null; cat; }");
    EXPECT_EQ(r.out, "bc\nrest");
    EXPECT_EQ(r.err, prompt + prompt);
}

TEST_F(Executable, EndOfInputAtOnceGivesStatusTwoAndALineOfItsOwn)
{
    const process_result r = shell("\"$K\" </dev/null");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, prompt + "\nkeldran: no order was given\n");
}

TEST_F(Executable, EndOfInputWhileDiscardingBadInputGivesStatusTwo)
{
    const process_result r = shell("printf '2\\nabc' | \"$K\"");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, prompt + prompt + "\nkeldran: no order was given\n");
}

TEST_F(Executable, IgnoresCommandLineArguments)
{
    const process_result r = shell("echo 3 | \"$K\" --help -x 12");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_of(r.out, "Polynomial:"), 2);
}

TEST_F(Executable, SendsOnlyBannerAndReportToAFile)
{
    const process_result r = shell("echo 4 | \"$K\" >report.txt");
    EXPECT_EQ(r.err, prompt);
    const std::string report = keldran_tests::as_linux_text(read_file(dir / "report.txt"));
    EXPECT_EQ(report.rfind(banner + "Sequence length is : 15\n\nPolynomial:", 0), 0U);
    EXPECT_EQ(count_of(report, prompt), 0);
}

TEST_F(Executable, FailsWithStatusOneWhenTheReportCannotBeWritten)
{
    for (const std::string redirect : {">/dev/full", ">&-"}) {
        const process_result r = shell("echo 12 | \"$K\" " + redirect);
        EXPECT_EQ(r.status, 1) << redirect;
        EXPECT_EQ(r.err, prompt_then_write_error) << redirect;
    }
}

// head takes ten bytes and leaves; the next write meets a pipe with no reader.
TEST_F(Executable, EndsBySigpipeOrStatusOneWhenThePipeClosesEarly)
{
    const process_result r =
        shell("{ echo 12 | timeout 60 \"$K\"; echo $? >status; } | head -c 10");
    const std::string status = read_file(dir / "status");
    const std::string sigpipe_status = "141\n";
    if (status == sigpipe_status) {
        EXPECT_EQ(r.err, prompt);
    } else {
        EXPECT_EQ(status, "1\n");
        EXPECT_EQ(r.err, prompt_then_write_error);
    }
    EXPECT_EQ(r.out, banner.substr(0, 10));
}

TEST_F(Executable, FailsWithStatusOneOnAPipeClosedEarlyWhenSigpipeIsIgnored)
{
    const process_result r =
        shell("trap '' PIPE; { echo 12 | timeout 60 \"$K\"; echo $? >status; } | head -c 10");
    EXPECT_EQ(read_file(dir / "status"), "1\n");
    EXPECT_EQ(r.err, prompt_then_write_error);
    EXPECT_EQ(r.out, banner.substr(0, 10));
}

}  // namespace
