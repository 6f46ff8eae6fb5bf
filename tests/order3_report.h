// The complete standard output of a run for order 3, as the program must write
// it, kept in order3_report.txt beside this file: shared by the tests of the
// renderer, of the installed program and of the terminal.
#ifndef KELDRAN_TESTS_ORDER3_REPORT_H
#define KELDRAN_TESTS_ORDER3_REPORT_H

#include <fstream>
#include <iterator>
#include <string>

namespace keldran_tests {

// Empty when the file cannot be read, which no test accepts as the report.
inline std::string order3_report()
{
    std::ifstream in(KELDRAN_ORDER3_REPORT, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace keldran_tests

#endif
