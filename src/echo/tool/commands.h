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

// Where a capture is and how to read it.
struct capture_options {
    std::string capture;  // a file, or "-" for standard input
    std::string format;   // empty: found from the content, the name as a hint
    std::string byte_order = "little";
    std::int64_t channel = 0;
    std::int64_t segment = 0;
};

struct measure_options {
    std::string poly;
    std::optional<double> samples_per_bit;
    std::optional<double> bit_rate;
    std::optional<double> sample_rate;
    capture_options source;
    std::string medium;  // empty: found in the capture
    bool json = false;
    std::string plot;
};

struct info_options {
    capture_options source;
    bool json = false;
};

// Polynomials the table of choose shows unless told.
inline constexpr std::int64_t default_choice_count = 10;

struct choose_options {
    std::int32_t order = 0;
    double pw50 = default_pw50;
    std::string pulse = "lorentzian";
    std::string medium = "longitudinal";
    std::optional<double> window;
    std::int64_t count = default_choice_count;
    bool json = false;
};

// Writes N periods of the pattern as bits, csv or f32.
int run_pattern(const pattern_options& o);

// Writes a read-back simulated by the channel model.
int run_simulate(const simulate_options& o);

// Measures a capture and writes the table or JSON, and the plot when asked.
int run_measure(const measure_options& o);

// Ranks the maximal polynomials of an order and writes the best as a table, or all as JSON.
int run_choose(const choose_options& o);

// Writes what a capture holds, as read, as a table or JSON.
int run_info(const info_options& o);

}  // namespace keldran::echo::tool

#endif
