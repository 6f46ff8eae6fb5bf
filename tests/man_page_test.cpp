// The manual pages of keldran and keldran-echo: they format cleanly and quote
// the programs' texts as the programs write them.
#include "dialogue.h"
#include "order3_report.h"
#include "order_input.h"
#include "report.h"

#include "scope_files.h"
#include "shell_run.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

using keldran_tests::process_result;
using keldran_tests::read_file;

namespace fs = std::filesystem;

const std::string man_page_path = KELDRAN_MAN_PAGE;
const std::string echo_man_page_path = KELDRAN_ECHO_MAN_PAGE;
const std::string echo_executable = KELDRAN_ECHO_EXECUTABLE;

void replace_all(std::string& text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// A page's source with the escapes it uses in quoted program text turned
// back into the characters they print.
std::string page_text(const std::string& path)
{
    std::string text = read_file(path);
    replace_all(text, "\\(ha", "^");
    replace_all(text, "\\(dq", "\"");
    replace_all(text, "\\-", "-");
    replace_all(text, "\\&", "");
    replace_all(text, "\\%", "");
    return text;
}

std::string without_line_end(std::string_view line)
{
    return std::string(line.substr(0, line.find('\n')));
}

// Formats a page with every groff warning on; true when groff succeeded, with
// what it printed in `output`.
bool formats_cleanly(const std::string& path, std::string& output)
{
    const std::string command = "groff -man -ww -z '" + path + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) {
        output.push_back(static_cast<char>(c));
    }
    const int status = pclose(pipe);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ManPage, FormatsWithoutAGroffWarning)
{
    std::string output;
    EXPECT_TRUE(formats_cleanly(man_page_path, output)) << output;
    EXPECT_EQ(output, "");
}

TEST(ManPage, QuotesThePromptBannerAndMessagesExactly)
{
    const std::string text = page_text(man_page_path);
    for (const char* quoted :
         {keldran::order_prompt, keldran::banner, keldran::out_of_memory_message,
          keldran::no_order_message, keldran::write_error_message}) {
        EXPECT_NE(text.find(without_line_end(quoted)), std::string::npos) << quoted;
    }
}

// The page shows the first block of the order-3 report; each of its lines must
// stand in the page as the program writes it (trailing spaces aside).
TEST(ManPage, ShowsTheFirstOrderThreeBlockAsTheProgramWritesIt)
{
    const std::string text = page_text(man_page_path);
    const std::string report = keldran_tests::order3_report();
    const std::string first_block = report.substr(0, report.find("\n\n\nPolynomial:"));
    std::istringstream lines(first_block);
    for (std::string line; std::getline(lines, line);) {
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        if (!line.empty()) {
            EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
        }
    }
}

// keldran-echo's page. The program is run in a scratch folder of the test's own,
// with relative file names, so that its messages read as the page quotes them.

using run_result = process_result;

// A fresh folder for the running test, removed when the test ends.
struct scratch_folder {
    fs::path path = keldran_tests::fresh_test_folder("keldran_man_");

    scratch_folder() = default;
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder(scratch_folder&&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    scratch_folder& operator=(scratch_folder&&) = delete;
    ~scratch_folder()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

void write_file(const fs::path& path, const std::string& contents)
{
    std::ofstream(path, std::ios::binary) << contents;
}

// Runs a shell script in `dir`, in which $E names keldran-echo, with no input,
// capturing standard output and standard error apart.
run_result run_script(const fs::path& dir, const std::string& script)
{
    return keldran_tests::run_in_folder(dir, "E='" + echo_executable + "'; { " + script
                                                 + "; } </dev/null");
}

// Runs keldran-echo in `dir` with `arguments` (shell words).
run_result run_echo(const fs::path& dir, const std::string& arguments)
{
    return run_script(dir, "\"$E\" " + arguments);
}

// The part of a page's source from `.SH heading` up to the next section.
std::string section(const std::string& text, const std::string& heading)
{
    const auto start = text.find("\n.SH " + heading + "\n");
    if (start == std::string::npos) {
        return {};
    }
    const auto end = text.find("\n.SH ", start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// What EXIT STATUS says under `status`: from its tag up to the next status's tag.
std::string status_entry(const std::string& text, int status)
{
    const std::string exit_status = section(text, "EXIT STATUS");
    const std::string tag = "\n.TP\n.B " + std::to_string(status) + "\n";
    const auto start = exit_status.find(tag);
    if (start == std::string::npos) {
        return {};
    }
    const auto end = exit_status.find("\n.TP\n.B ", start + tag.size());
    return exit_status.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<std::string> non_empty_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The first capture group of every match of `pattern` in `text`.
std::set<std::string> matches(const std::string& text, const std::regex& pattern)
{
    std::set<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        found.insert((*it)[1].str());
    }
    return found;
}

// The page's first example, in the two lines it is written on, and the
// measurement it shows.
const std::string simulate_example_start =
    R"(keldran-echo simulate --poly "x^7 + x^3 + 1" --samples-per-bit 8)";
const std::string simulate_example_rest = "--periods 4 --hts 0.1 --nlts 0.2 -o capture.f32";
const std::string measure_example_start =
    R"(keldran-echo measure --poly "x^7 + x^3 + 1" --samples-per-bit 8)";
const std::string measure_example_rest = "--plot capture.svg capture.f32";
// What follows it on the same capture: what the capture holds, and its measurement at a bit
// rate, the second command in two lines as well.
const std::string info_example = "keldran-echo info capture.f32";
const std::string bit_rate_example_start =
    R"(keldran-echo measure --poly "x^7 + x^3 + 1" --bit-rate 1.2G)";
const std::string bit_rate_example_rest = "--sample-rate 9.6G capture.f32";

// The page's example of choose, on one line.
const std::string choose_example = "keldran-echo choose --order 7 --count 3";

// The arguments of an example command, without the program's name.
std::string arguments_of(const std::string& start, const std::string& rest)
{
    return start.substr(start.find(' ') + 1) + " " + rest;
}

TEST(EchoManPage, FormatsWithoutAGroffWarning)
{
    std::string output;
    EXPECT_TRUE(formats_cleanly(echo_man_page_path, output)) << output;
    EXPECT_EQ(output, "");
}

TEST(EchoManPage, HasItsSectionsInOrderAndPointsToKeldran)
{
    const std::string text = read_file(echo_man_page_path);
    std::size_t last = 0;
    for (const char* heading : {"NAME", "SYNOPSIS", "DESCRIPTION", "THE CHANNEL MODEL", "CAPTURES",
                                "OUTPUT", "EXIT STATUS", "EXAMPLES", "SEE ALSO"}) {
        const auto at = text.find("\n.SH " + std::string(heading) + "\n");
        ASSERT_NE(at, std::string::npos) << heading;
        EXPECT_GT(at, last) << heading;
        last = at;
    }
    EXPECT_NE(text.find("\n.SH NAME\nkeldran\\-echo \\- "), std::string::npos);
    EXPECT_NE(section(text, "SEE ALSO").find("\n.BR keldran (1)\n"), std::string::npos);
}

// The page's examples of one capture, run in turn: each command stands in EXAMPLES as
// written there, and so does each line that the commands reading the capture print.
TEST(EchoManPage, ShowsItsExamplesOfOneCaptureAsTheProgramWritesThem)
{
    const std::string examples = section(page_text(echo_man_page_path), "EXAMPLES");
    const std::vector<std::pair<std::string, std::string>> commands{
        {simulate_example_start, simulate_example_rest},
        {measure_example_start, measure_example_rest},
        {info_example, ""},
        {bit_rate_example_start, bit_rate_example_rest},
        {choose_example, ""}};
    const scratch_folder scratch;
    for (const auto& [start, rest] : commands) {
        EXPECT_NE(examples.find(start), std::string::npos) << start;
        if (!rest.empty()) {
            EXPECT_NE(examples.find(rest), std::string::npos) << rest;
        }
        const run_result r = run_echo(scratch.path, arguments_of(start, rest));
        ASSERT_EQ(r.status, 0) << start << "\n" << r.err;
        if (start == simulate_example_start) {
            continue;
        }
        const std::vector<std::string> lines = non_empty_lines(r.out);
        EXPECT_FALSE(lines.empty()) << start;
        for (const std::string& line : lines) {
            EXPECT_NE(examples.find("\n" + line + "\n"), std::string::npos) << line;
        }
    }
}

// Each command's synopsis names every option its --help lists.
TEST(EchoManPage, SynopsisNamesEveryOptionOfEveryCommand)
{
    const std::string synopsis = section(page_text(echo_man_page_path), "SYNOPSIS");
    const std::regex option(R"re([\s,](--[a-z0-9][a-z0-9-]*))re");
    const scratch_folder scratch;
    for (const std::string command : {"pattern", "simulate", "measure", "info", "choose"}) {
        const auto start = synopsis.find(".SY \"keldran-echo " + command + "\"");
        ASSERT_NE(start, std::string::npos) << command;
        const std::string entry = synopsis.substr(start, synopsis.find(".YS", start) - start);
        const run_result help = run_echo(scratch.path, command + " --help");
        ASSERT_EQ(help.status, 0) << help.err;
        std::set<std::string> listed = matches(help.out, option);
        listed.erase("--help");
        EXPECT_FALSE(listed.empty()) << command;
        for (const std::string& name : listed) {
            EXPECT_TRUE(matches(entry + "\n", option).contains(name)) << command << " " << name;
        }
    }
}

// A capture whose measurement writes a note under its table, and one of its notes.
struct note_case {
    const char* name;
    const char* capture;  // a shell script that makes capture.f32 or capture.csv with "$E"
    const char* measure;  // the arguments of measure that read it
    const char* note;
};

std::string note_name(const testing::TestParamInfo<note_case>& info)
{
    return info.param.name;
}

class EchoManPageNote : public testing::TestWithParam<note_case> {};

TEST_P(EchoManPageNote, IsWrittenAsOutputQuotesIt)
{
    const note_case& c = GetParam();
    const scratch_folder scratch;
    const run_result captured = run_script(scratch.path, c.capture);
    ASSERT_EQ(captured.status, 0) << captured.err;
    const run_result measured = run_echo(scratch.path, std::string("measure ") + c.measure);
    ASSERT_EQ(measured.status, 0) << measured.err;
    EXPECT_NE(measured.out.find("\n" + std::string(c.note) + "\n"), std::string::npos)
        << measured.out;
    const std::string output = section(page_text(echo_man_page_path), "OUTPUT");
    EXPECT_NE(output.find("\n.B " + std::string(c.note) + "\n"), std::string::npos) << c.note;
}

// An order-7 pattern whose HTS echo falls close beside the main response, and
// the Interaction echo close beside that.
constexpr const char* crowded_order7 =
    R"("$E" simulate --poly "x^7 + x + 1" --samples-per-bit 8 --hts 0.1 --nlts 0.2 )"
    "-o capture.f32";
constexpr const char* measure_crowded_order7 =
    R"(--poly "x^7 + x + 1" --samples-per-bit 8 capture.f32)";

INSTANTIATE_TEST_SUITE_P(
    Notes, EchoManPageNote,
    testing::Values(
        note_case{"EchoWithinTheReachOfTheMainResponse", crowded_order7, measure_crowded_order7,
                  "The HTS echo lies within the reach of the main response: it cannot be told "
                  "apart, so its size is unreliable and no shift is given."},
        note_case{"EchoWithinTheReachOfAnotherEcho", crowded_order7, measure_crowded_order7,
                  "The Interaction echo lies within the reach of the HTS echo: it cannot be told "
                  "apart, so its size is unreliable and no shift is given."},
        // An order-4 period is too short for any echo to stand clear of the main response.
        note_case{"PeriodShorterThanOrderSeven",
                  R"("$E" simulate --poly "x^4 + x^3 + 1" --samples-per-bit 8 --hts 0.1 )"
                  "--nlts 0.2 -o capture.f32",
                  R"(--poly "x^4 + x^3 + 1" --samples-per-bit 8 capture.f32)",
                  "The HTS echo lies within the reach of the main response in a period this "
                  "short (order 7 and up leave room): it cannot be told apart, so its size is "
                  "unreliable and no shift is given."},
        // Two channels of different widths and opposite hard shifts read back at once: the
        // sum's HTS echo has no shape that one transition response and one shift could give.
        note_case{"EchoThatDoesNotFollowTheChannelModel",
                  R"("$E" simulate --poly "x^7 + x^3 + 1" --samples-per-bit 8 --hts 0.1 )"
                  R"(--nlts 0.2 --format csv -o wide.csv && "$E" simulate --poly "x^7 + x^3 + 1" )"
                  "--samples-per-bit 8 --pw50 1 --hts -0.1 --format csv -o narrow.csv && "
                  "paste -d , wide.csv narrow.csv "
                  R"(| awk -F , '{ printf "%.8g\n", $1 + 0.5 * $2 }' >capture.csv)",
                  R"(--poly "x^7 + x^3 + 1" --samples-per-bit 8 capture.csv)",
                  "The HTS echo does not follow the channel model: the fit leaves 15 % of it "
                  "unexplained, so its size is unreliable and no shift is given."}),
    note_name);

// Each name has an entry of its own in OUTPUT, in bold at the start of a line.
void expect_named_in_output(const std::set<std::string>& names)
{
    const std::string output = section(page_text(echo_man_page_path), "OUTPUT");
    for (const std::string& name : names) {
        EXPECT_TRUE(output.find("\n.B " + name + "\n") != std::string::npos
                    || output.find("\n.BR " + name + " ") != std::string::npos)
            << name;
    }
}

// Each key of the JSON object, and each name of an effect, has an entry of
// its own in OUTPUT, in bold at the start of a line.
TEST(EchoManPage, NamesEveryJsonKeyAndEffectTheProgramWrites)
{
    const scratch_folder scratch;
    const run_result simulated =
        run_echo(scratch.path, arguments_of(simulate_example_start, simulate_example_rest));
    ASSERT_EQ(simulated.status, 0) << simulated.err;
    // An order-4 capture's echoes are none of them separable, and say why.
    const run_result short_period =
        run_echo(scratch.path, R"(simulate --poly "x^4 + x^3 + 1" --samples-per-bit 8 )"
                               "--hts 0.1 --nlts 0.2 -o order4.f32");
    ASSERT_EQ(short_period.status, 0) << short_period.err;
    const run_result measured = run_script(
        scratch.path,
        R"("$E" measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 --json capture.f32 && )"
        R"("$E" measure --poly "x^4 + x^3 + 1" --samples-per-bit 8 --json order4.f32)");
    ASSERT_EQ(measured.status, 0) << measured.err;
    const std::set<std::string> keys = matches(measured.out, std::regex(R"re("([a-z_0-9]+)":)re"));
    const std::set<std::string> effects =
        matches(measured.out, std::regex(R"re("effect":"([a-z_]+)")re"));
    EXPECT_EQ(keys, (std::set<std::string>{"polynomial",
                                           "order",
                                           "length",
                                           "samples_per_bit",
                                           "periods",
                                           "snr_db",
                                           "medium",
                                           "pw50",
                                           "set_aside",
                                           "echoes",
                                           "effect",
                                           "location",
                                           "size",
                                           "separable",
                                           "shift",
                                           "shift_uncertainty",
                                           "shift_ps",
                                           "shift_ps_uncertainty",
                                           "bit_rate",
                                           "sample_rate",
                                           "read_asymmetry",
                                           "read_asymmetry_uncertainty",
                                           "read_asymmetry_not_given_because",
                                           "partial_erasure_not_given_because",
                                           "partial_erasure",
                                           "partial_erasure_uncertainty",
                                           "not_separable_because"}));
    EXPECT_EQ(effects, (std::set<std::string>{"hts", "nlts", "second_adjacent", "interaction"}));
    expect_named_in_output(keys);
    expect_named_in_output(effects);
}

// So has each key of the JSON object that info writes, whatever the format.
TEST(EchoManPage, NamesEveryJsonKeyInfoWrites)
{
    const scratch_folder scratch;
    const run_result described = run_script(
        scratch.path, R"("$E" simulate --poly "x^7 + x^3 + 1" --samples-per-bit 8 -o capture.f32 )"
                      R"(&& "$E" info --json capture.f32)");
    ASSERT_EQ(described.status, 0) << described.err;
    const std::set<std::string> keys = matches(described.out, std::regex(R"re("([a-z_0-9]+)":)re"));
    EXPECT_EQ(keys,
              (std::set<std::string>{"format", "format_title", "version", "instrument", "label",
                                     "channels", "channel", "segments", "segment", "samples",
                                     "declared_samples", "sample_interval", "sample_bits", "gain",
                                     "offset", "units", "first", "last"}));
    expect_named_in_output(keys);
}

// And each key of the JSON object that choose writes: with an absent echo, and in a window.
TEST(EchoManPage, NamesEveryJsonKeyChooseWrites)
{
    const scratch_folder scratch;
    const run_result chosen =
        run_script(scratch.path,
                   R"("$E" choose --order 3 --json && "$E" choose --order 7 --window 20 --json)");
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    const std::set<std::string> keys = matches(chosen.out, std::regex(R"re("([a-z_0-9]+)":)re"));
    EXPECT_EQ(keys, (std::set<std::string>{"order", "pw50", "pulse", "medium", "window", "maximal",
                                           "polynomials", "rank", "polynomial", "smallest_distance",
                                           "distances", "echoes", "effect", "location", "absent",
                                           "separable", "not_separable_because"}));
    expect_named_in_output(keys);
}

// A command line that fails, and the message and status the page gives for it.
struct message_case {
    const char* name;
    const char* file;      // a file made in the scratch folder first, or nothing
    std::string contents;  // what that file holds
    const char* arguments;
    int status;
    const char* message;
};

std::string case_name(const testing::TestParamInfo<message_case>& info)
{
    return info.param.name;
}

constexpr std::size_t f32_bytes = 4;
// Fewer than the two periods of 127 bits at 8 samples per bit that a measurement needs.
constexpr std::size_t short_capture_samples = 1000;

// A sequence trace of three segments, ten samples each.
std::string three_segment_trace()
{
    constexpr std::size_t samples = 30;
    return keldran_tests::trace_file(std::vector<float>(samples, 0.25F), {.segments = 3});
}

// A trace whose COMM_TYPE, the sample width, is 7: neither byte (0) nor word (1).
std::string damaged_trace()
{
    constexpr std::size_t prefix = 11;  // "#9" and the nine digits of the length
    constexpr std::int16_t bad_width = 7;
    std::string file = keldran_tests::trace_file(std::vector<float>{0.25F, -0.25F});
    keldran_tests::put_at(file, prefix + keldran_tests::wavedesc::comm_type, bad_width,
                          keldran_tests::endian::little);
    return file;
}

// A save file of 100 two-byte samples, cut after the 50th.
std::string cut_save_file()
{
    constexpr std::size_t samples = 100;
    constexpr std::size_t kept = 50;
    std::vector<float> volts(samples, 0.25F);
    volts[0] = -0.25F;
    std::string file = keldran_tests::isf_file(volts);
    file.resize(file.size() - 1 - (samples - kept) * 2);
    return file;
}

// `lines` lines of text, line i made by `line(i)`, after `header`.
std::string text_capture(const std::string& header, int lines, std::string (*line)(int))
{
    std::string text = header;
    for (int i = 0; i < lines; ++i) {
        text += line(i) + "\n";
    }
    return text;
}

// Lines enough for two periods of 127 bits at 8 samples per bit.
constexpr int two_periods_of_lines = 2100;

// A time column, a signal that is not the pattern, and a last column that never varies.
std::string scope_csv()
{
    return text_capture("TIME,CH1,CH2\n", two_periods_of_lines, [](int i) {
        return std::to_string(i) + "e-10," + std::to_string(i * 37 % 11) + ",0.5";
    });
}

// Ones and zeros, as a digital channel gives.
std::string digital_csv()
{
    return text_capture("", two_periods_of_lines,
                        [](int i) { return std::to_string(i * i / 7 % 2); });
}

// Two periods' worth of a slow sine as big-endian 16-bit samples.
std::string big_endian_sine()
{
    constexpr double amplitude = 8000;
    constexpr double samples_per_turn = 40;
    std::string file;
    for (int i = 0; i < two_periods_of_lines; ++i) {
        const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * i / samples_per_turn))));
        keldran_tests::append(file, v, keldran_tests::endian::big);
    }
    return file;
}

class EchoManPageMessage : public testing::TestWithParam<message_case> {};

TEST_P(EchoManPageMessage, IsWrittenAsThePageQuotesItUnderItsExitStatus)
{
    const message_case& c = GetParam();
    const scratch_folder scratch;
    if (c.file != nullptr) {
        write_file(scratch.path / c.file, c.contents);
    }
    const run_result r = run_echo(scratch.path, c.arguments);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, std::string(c.message) + "\n");
    EXPECT_EQ(r.out, "");
    const std::string entry = status_entry(page_text(echo_man_page_path), c.status);
    EXPECT_NE(entry.find("\n.B " + std::string(c.message) + "\n"), std::string::npos) << c.message;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, EchoManPageMessage,
    testing::Values(
        message_case{"MissingCapture", nullptr, "",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 missing.f32)", 1,
                     "keldran-echo: cannot read missing.f32: No such file or directory"},
        message_case{"EmptyCapture", "empty.f32", "",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 empty.f32)", 1,
                     "keldran-echo: empty.f32 holds no samples"},
        message_case{"CsvLineThatIsNotANumber", "capture.csv", "time,volts\n0,0.5\n1,-0.5\nabc\n",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 capture.csv)", 1,
                     R"(keldran-echo: capture.csv: line 4 is not a number: "abc")"},
        message_case{"CsvSampleThatIsNotFinite", "capture.csv", "time,volts\n0,0.5\n1,nan\n",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 capture.csv)", 1,
                     R"(keldran-echo: capture.csv: line 3 is not a finite number: "nan")"},
        message_case{"FewerThanTwoPeriods", "short.f32",
                     std::string(short_capture_samples* f32_bytes, '\0'),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 short.f32)", 1,
                     "keldran-echo: short.f32: the capture holds 1000 samples, fewer than two "
                     "whole periods of the pattern (2032 samples at 8 samples per bit)"},
        message_case{"CaptureEndingInsideASample", "odd.f32",
                     std::string(short_capture_samples* f32_bytes + 1, '\0'),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 odd.f32)", 1,
                     "keldran-echo: odd.f32: the capture ends inside a sample (1 byte left over)"},
        message_case{"OutputThatCannotBeWritten", nullptr, "",
                     R"(pattern --poly "x^7 + x^3 + 1" -o /dev/full)", 1,
                     "keldran-echo: cannot write /dev/full: No space left on device"},
        message_case{"MissingPolynomial", nullptr, "", "pattern", 2,
                     "keldran-echo: --poly is required"},
        message_case{
            "OrderAboveTwelve", nullptr, "", R"(pattern --poly "x^13 + x + 1")", 2,
            R"(keldran-echo: --poly: "x^13 + x + 1" is of order 13; the order must be 3 to 12)"},
        message_case{"PolynomialThatIsNotMaximal", nullptr, "", R"(pattern --poly "x^7 + x^2 + 1")",
                     2,
                     "keldran-echo: --poly: x^7 + x^2 + 1 is not a maximal-length polynomial "
                     "(keldran lists those of order 7)"},
        message_case{"UnknownCommand", nullptr, "", R"(bogus --poly "x^7 + x^3 + 1")", 2,
                     R"(keldran-echo: unknown command "bogus"; the commands are pattern, )"
                     "simulate, measure, info and choose"},
        message_case{"OrderAboveTwelveToChoose", nullptr, "", "choose --order 13", 2,
                     "keldran-echo: --order: must be a whole number from 3 to 12, not 13"},
        message_case{"PulseTooNarrowToChooseAt", nullptr, "", "choose --order 7 --pw50 0.4", 2,
                     "keldran-echo: --pw50: must be a number from 0.5 to 100, not 0.4"},
        message_case{"NoSamplesPerBit", nullptr, "",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 0 capture.f32)", 2,
                     "keldran-echo: --samples-per-bit: must be a number greater than 0 and at "
                     "most 10000, not 0"},
        message_case{"PeriodsThatAreNotWhole", nullptr, "",
                     R"(pattern --poly "x^7 + x^3 + 1" --periods 2.5)", 2,
                     "keldran-echo: --periods: must be a whole number of at least 1, not 2.5"},
        message_case{"ShiftThatIsNotFinite", nullptr, "",
                     R"(simulate --poly "x^7 + x^3 + 1" --samples-per-bit 8 --hts nan)", 2,
                     "keldran-echo: --hts: must be a finite number, not nan"},
        message_case{"PartialErasureOnAPerpendicularMedium", nullptr, "",
                     R"(simulate --poly "x^7 + x^3 + 1" --samples-per-bit 8 --medium )"
                     "perpendicular --partial-erasure 0.2",
                     2, "keldran-echo: --partial-erasure: must be 0 with --medium perpendicular"},
        message_case{"HeldBitsAsBits", nullptr, "",
                     R"(pattern --poly "x^7 + x^3 + 1" --samples-per-bit 4)", 2,
                     "keldran-echo: --samples-per-bit: the bits format writes one character a "
                     "bit; give --format f32 or csv"},
        message_case{"StandardInputWithoutAFormat", "capture.f32", "\x01\x02\x03\x04",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 - <capture.f32)", 2,
                     "keldran-echo: cannot tell the format of standard input from its content "
                     "or its name; give --format i8, u8, i16, f32, f64, csv, trc, isf or bin"},
        // Raw samples state no sample rate, so a bit rate alone does not fix the rate.
        message_case{"BitRateOfACaptureThatStatesNoSampleRate", "capture.f32",
                     std::string(f32_bytes, '\0'),
                     R"(measure --poly "x^7 + x^3 + 1" --bit-rate 1.2G capture.f32)", 2,
                     "keldran-echo: --bit-rate: capture.f32 does not state its sample rate; give "
                     "--sample-rate too, or --samples-per-bit"},
        // The name implies a trace, but the bytes carry no WAVEDESC.
        message_case{"TraceByNameOnly", "capture.trc", std::string(f32_bytes, '\0'),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 capture.trc)", 1,
                     "keldran-echo: capture.trc: the capture is not a LeCroy trace (its first "
                     "bytes do not read as one)"},
        message_case{"ChannelBeyondTheColumns", "two.csv", "0.5,0.25\n-0.5,0.75\n",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 --channel 3 two.csv)", 1,
                     "keldran-echo: two.csv: there is no channel 3: the capture holds 2 channels; "
                     "give --channel 1 to 2"},
        message_case{"SequenceTraceWithoutASegment", "sequence.trc", three_segment_trace(),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 sequence.trc)", 1,
                     "keldran-echo: sequence.trc: the trace is a sequence of 3 segments; say which "
                     "one to measure; give --segment 1 to 3"},
        // "0,016" read with ',' between columns is the two numbers 0 and 016.
        message_case{"DecimalCommasCutApart", "comma.csv", "0,016\n0,5\n-0,25\n",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 comma.csv)", 1,
                     "keldran-echo: comma.csv: the capture holds 3 samples, fewer than two whole "
                     "periods of the pattern (2032 samples at 8 samples per bit); its numbers look "
                     "written with decimal commas, which ',' between columns cuts apart: save the "
                     "csv with ';' or tabs between columns"},
        message_case{"DamagedTrace", "damaged.trc", damaged_trace(),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 damaged.trc)", 1,
                     "keldran-echo: damaged.trc: the LeCroy trace's header is damaged: COMM_TYPE "
                     "is 7, not 0 or 1"},
        message_case{"SegmentBeyondTheSequence", "sequence.trc", three_segment_trace(),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 --segment 4 )"
                     "sequence.trc",
                     1,
                     "keldran-echo: sequence.trc: there is no segment 4: the trace holds 3 "
                     "segments; give --segment 1 to 3"},
        message_case{
            "SaveFileInText", "capture.isf",
            keldran_tests::isf_file(std::vector<float>{0.25F, -0.25F}, {.encoding = "ASCII"}),
            R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 capture.isf)", 1,
            "keldran-echo: capture.isf: the Tektronix save file stores its samples in a "
            "way not read here"},
        message_case{"SaveFileCutShort", "short.isf", cut_save_file(),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 short.isf)", 1,
                     "keldran-echo: short.isf: the Tektronix save file ends after 50 samples of "
                     "the 100 its header declares"},
        message_case{"ColumnThatDoesNotVary", "scope.csv", scope_csv(),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 scope.csv)", 1,
                     "keldran-echo: scope.csv: the capture repeats at a rate more than 2 % from 8 "
                     "samples per bit (its best match lies at the edge searched, 7.84252 samples "
                     "per bit); give --samples-per-bit nearer the capture's rate; the column read "
                     "does not vary: give --channel for the one that holds the signal"},
        message_case{"DigitalChannel", "digital.csv", digital_csv(),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 5 digital.csv)", 1,
                     "keldran-echo: digital.csv: the capture does not hold the pattern of x^7 + "
                     "x^3 + 1: its correlation with the pattern has no main response (the "
                     "strongest peak holds 24 % of the energy); its samples take only 2 distinct "
                     "values: a digital channel, or another format (--format)?"},
        message_case{"BigEndianIntegersReadAsLittle", "big.i16", big_endian_sine(),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 big.i16)", 1,
                     "keldran-echo: big.i16: the capture does not hold the pattern of x^7 + x^3 + "
                     "1: its correlation with the pattern has no main response (the strongest "
                     "peak holds 24 % of the energy); read in the other byte order its samples "
                     "are far smoother: give --byte-order big"},
        message_case{"BothRates", nullptr, "",
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 --bit-rate 1G c.f32)", 2,
                     "keldran-echo: --samples-per-bit and --bit-rate both fix the rate; give one "
                     "of them"},
        message_case{"SampleRateAlone", nullptr, "",
                     R"(measure --poly "x^7 + x^3 + 1" --sample-rate 1G c.f32)", 2,
                     "keldran-echo: --sample-rate: give --bit-rate with it, or --samples-per-bit "
                     "alone"},
        message_case{"SampleRateAgainstTheCapturesOwn", "scope.csv", scope_csv(),
                     R"(measure --poly "x^7 + x^3 + 1" --bit-rate 1G --sample-rate 9.6G )"
                     "scope.csv",
                     2,
                     "keldran-echo: --sample-rate: the sample rate given, 9.6e+09 samples per "
                     "second, disagrees with the capture's own, 1e+10 (scope.csv); leave "
                     "--sample-rate out"},
        message_case{"RatesBeyondTheRange", "digital.csv", digital_csv(),
                     R"(measure --poly "x^7 + x^3 + 1" --bit-rate 1k --sample-rate 9.6G )"
                     "digital.csv",
                     2,
                     "keldran-echo: --bit-rate: the rates make 9.6e+06 samples per bit; it must "
                     "be greater than 0 and at most 10000"},
        message_case{"RateWithAnUnknownPrefix", nullptr, "",
                     R"(measure --poly "x^7 + x^3 + 1" --bit-rate 1.2X c.f32)", 2,
                     "keldran-echo: --bit-rate: must be a rate greater than 0, such as 1.2e9 or "
                     "1.2G, not 1.2X"},
        // A big-endian float near 1 whose bytes, read little-endian, are a NaN.
        message_case{"BigEndianFloatsReadAsLittle", "big.f32", std::string("\x3f\x80\xff\x7f", 4),
                     R"(measure --poly "x^7 + x^3 + 1" --samples-per-bit 8 big.f32)", 1,
                     "keldran-echo: big.f32: sample 1 is not a finite number; read in the other "
                     "byte order its samples are finite: give --byte-order big"}),
    case_name);

}  // namespace
