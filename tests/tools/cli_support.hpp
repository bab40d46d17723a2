// Running plenko-tq in tests: in-process through tq::cli::run with captured
// streams, or as the real executable with its stdout and stderr apart.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "sim/simulator.hpp"

namespace tq::cli::test {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

// `args` without the program name.
CliRun run_in_process(const std::vector<std::string>& args, bool terminal = false);

// The built plenko-tq; a process that outlives `timeout` is killed (status -1).
CliRun run_process(const std::vector<std::string>& args,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

// "127.0.0.1:<port>" of a simulated device, for --address.
std::string address_of(const sim::Simulator& sim, size_t device = 0);

std::vector<std::string> lines(const std::string& text);

}  // namespace tq::cli::test
