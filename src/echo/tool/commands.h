// The work of each keldran-echo command, given its options as read from the
// command line. Each returns the process's exit status and has written any
// message itself.
#ifndef KELDRAN_ECHO_TOOL_COMMANDS_H
#define KELDRAN_ECHO_TOOL_COMMANDS_H

#include "channel.h"

#include <cstdint>
#include <optional>
#include <string>

namespace keldran::echo::tool {

struct pattern_options {
    std::string poly;
    std::int64_t periods = 1;
    std::int64_t samples_per_bit = 1;  // f32 and csv: samples each bit is held for
    std::string format = "bits";
    std::string path;
};

struct simulate_options {
    std::string poly;
    double samples_per_bit = 0;
    double periods = default_periods;
    double pw50 = default_pw50;
    std::string pulse = "lorentzian";
    double hts = 0;
    double nlts = 0;
    std::string medium = "longitudinal";
    double partial_erasure = 0;
    double asymmetry = 0;
    std::optional<double> snr;
    double start = 0;
    std::uint64_t seed = 1;
    std::string format = "f32";
    std::string path;
};

struct measure_options {
    std::string poly;
    double samples_per_bit = 0;
    std::string format;
    std::string byte_order = "little";
    std::string medium;  // empty: found in the capture
    bool json = false;
    std::string plot;
    std::string capture;
};

// Writes N periods of the pattern as bits, csv or f32.
int run_pattern(const pattern_options& o);

// Writes a read-back simulated by the channel model.
int run_simulate(const simulate_options& o);

// Measures a capture and writes the table or JSON, and the plot when asked.
int run_measure(const measure_options& o);

}  // namespace keldran::echo::tool

#endif
