// The manual page: it formats cleanly and quotes the program's texts as the
// program writes them.
#include "dialogue.h"
#include "order3_report.h"
#include "order_input.h"
#include "report.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

namespace {

const std::string man_page_path = KELDRAN_MAN_PAGE;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void replace_all(std::string& text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// The page's source with the escapes it uses in quoted program text turned
// back into the characters they print.
std::string page_text()
{
    std::string text = read_file(man_page_path);
    replace_all(text, "\\(ha", "^");
    replace_all(text, "\\-", "-");
    replace_all(text, "\\&", "");
    return text;
}

std::string without_line_end(std::string_view line)
{
    return std::string(line.substr(0, line.find('\n')));
}

TEST(ManPage, FormatsWithoutAGroffWarning)
{
    const std::string command = "groff -man -ww -z '" + man_page_path + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) {
        output.push_back(static_cast<char>(c));
    }
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_EQ(output, "");
}

TEST(ManPage, QuotesThePromptBannerAndMessagesExactly)
{
    const std::string text = page_text();
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
    const std::string text = page_text();
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

}  // namespace
