// Writes the little-endian float32 capture on standard input as an 8-bit LeCroy
// trace on standard output, through the tests' writer of the format: the
// benchmark's capture in the form a scope saves it.
#include "scope_files.h"

#include <cstdio>
#include <vector>

int main()
{
    std::vector<float> volts;
    constexpr std::size_t chunk = std::size_t{1} << 20;
    std::vector<float> buffer(chunk);
    for (std::size_t got = 0; (got = std::fread(buffer.data(), sizeof(float), chunk, stdin)) > 0;) {
        volts.insert(volts.end(), buffer.begin(),
                     buffer.begin() + static_cast<std::ptrdiff_t>(got));
    }
    keldran_tests::trace_options options;
    options.bits = 8;
    constexpr double interval = 1e-11;  // 100 GS/s
    options.interval = interval;
    const std::string file = keldran_tests::trace_file(volts, options);
    return std::fwrite(file.data(), 1, file.size(), stdout) == file.size() ? 0 : 1;
}
