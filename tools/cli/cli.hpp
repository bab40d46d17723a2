// plenko-tq: the command-line tool over the device client. run() is the whole
// program except the process set-up in main.cpp, so tests drive it in-process
// against a simulator with their own output streams.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/error.hpp"

namespace tq::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,         // the device, the network or a file said no
    kExitUsage = 2,          // the command line is wrong
    kExitInterrupted = 130,  // Ctrl-C stopped a firmware update (128 + SIGINT, as a shell reports it)
};

struct Io {
    std::ostream& out;  // results, progress
    std::ostream& err;  // the one error line, warnings
    bool out_is_terminal = false;
};

int run(int argc, const char* const* argv, const Io& io);

// Every command, as typed ("eth set"), in the order --help lists them.
std::vector<std::string> command_paths();

// What ends a command: its message becomes the one error line.
struct Failure : std::runtime_error {
    Failure(const std::string& message, int exit_code = kExitFailed) : std::runtime_error(message), code(exit_code) {}
    int code;
};

// A client error as a sentence for the error line. A failed connection says
// why when the client kept the operating system's reason.
std::string describe(const Error& error);

// `nickname [PORT] [NAME]`: a lone argument is a port when it is a number and
// the device's new nickname otherwise; --name gives a name that looks like a
// number. Throws a usage Failure for contradicting arguments.
struct NicknameTarget {
    std::optional<uint32_t> port;     // absent: the device's own nickname
    std::optional<std::string> name;  // absent: read (or reset)
};
NicknameTarget nickname_target(const std::optional<std::string>& first, const std::optional<std::string>& second,
                               const std::optional<std::string>& name_option, bool reset);

}  // namespace tq::cli
