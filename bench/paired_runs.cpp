// Paired wall-time runs: keldran answering an order against cat copying the
// same saved report, each started directly (no shell) with its output sent
// to /dev/null or to a pipe. Pairs alternate which command goes first; the
// figure is the median of the per-pair ratios, which cancels slow drifts of a
// shared machine.
//
// usage: paired_runs KELDRAN REPORT ANSWER [RUNS] [null|pipe]
//        paired_runs --peak PROGRAM ANSWER   (peak resident memory of one run, KiB)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int default_runs = 50;
constexpr int warmup_pairs = 5;

struct run_figures {
    double seconds;
    long peak_kib;
};

// Runs argv with stdin from `input` and stdout to /dev/null or a drained pipe.
run_figures measured_run(const std::vector<std::string>& argv, const char* input, bool to_pipe)
{
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    int drain[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (to_pipe) {
        if (pipe(drain) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        posix_spawn_file_actions_adddup2(&actions, drain[1], 1);
        posix_spawn_file_actions_addclose(&actions, drain[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    const auto start = std::chrono::steady_clock::now();
    pid_t child = -1;
    if (posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ) != 0) {
        std::perror(args[0]);
        std::exit(1);
    }
    if (to_pipe) {
        close(drain[1]);
        std::array<char, 1 << 16> buffer{};
        while (read(drain[0], buffer.data(), buffer.size()) > 0) {
        }
        close(drain[0]);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto stop = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", args[0]);
        std::exit(1);
    }
    return {std::chrono::duration<double>(stop - start).count(), usage.ru_maxrss};
}

double timed_run(const std::vector<std::string>& argv, const char* input, bool to_pipe)
{
    return measured_run(argv, input, to_pipe).seconds;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t mid = v.size() / 2;
    return v.size() % 2 != 0 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--peak") {
        std::printf("%ld\n", measured_run({argv[2]}, argv[3], false).peak_kib);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s KELDRAN REPORT ANSWER [RUNS] [null|pipe]\n", argv[0]);
        return 2;
    }
    const std::vector<std::string> keldran{argv[1]};
    const std::vector<std::string> cat{"/bin/cat", argv[2]};
    const char* answer = argv[3];
    const int runs = argc > 4 ? std::atoi(argv[4]) : default_runs;
    const bool to_pipe = argc > 5 && std::string(argv[5]) == "pipe";
    std::vector<double> keldran_times;
    std::vector<double> cat_times;
    std::vector<double> ratios;
    for (int i = 0; i < runs + warmup_pairs; ++i) {
        double k = 0;
        double c = 0;
        if (i % 2 == 0) {
            k = timed_run(keldran, answer, to_pipe);
            c = timed_run(cat, "/dev/null", to_pipe);
        } else {
            c = timed_run(cat, "/dev/null", to_pipe);
            k = timed_run(keldran, answer, to_pipe);
        }
        if (i >= warmup_pairs) {
            keldran_times.push_back(k);
            cat_times.push_back(c);
            ratios.push_back(k / c);
        }
    }
    constexpr double ms = 1e3;
    std::printf("output to %s, %d paired runs\n", to_pipe ? "a pipe" : "/dev/null", runs);
    std::printf("  keldran median %.2f ms\n", median(keldran_times) * ms);
    std::printf("  cat     median %.2f ms\n", median(cat_times) * ms);
    std::printf("  median ratio keldran/cat %.2f\n", median(ratios));
    return 0;
}
