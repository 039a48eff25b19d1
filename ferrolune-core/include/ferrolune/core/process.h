// The one way the system starts child programs: an argument list (never a
// shell), no descriptors inherited beyond the standard three, signals reset
// to their defaults, output drained without deadlock, every child reaped,
// and no child outliving this process (it is killed when its parent dies).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ferrolune/core/error.h"

namespace ferrolune::process {

enum class Input { Null, Pipe, Inherit };
enum class Output { Capture, Null, Inherit };

struct Command {
    // A path, or a bare name that is resolved on PATH when starting.
    std::string program;
    std::vector<std::string> args;
    Input stdin_mode = Input::Null;
    std::string stdin_data;  // written when stdin_mode is Pipe, then closed
    Output stdout_mode = Output::Capture;
    Output stderr_mode = Output::Capture;
    // When set (or when a canceller is installed on the thread), the child
    // runs in its own process group, which is killed when the limit passes.
    std::optional<std::chrono::milliseconds> timeout;
};

struct Completed {
    std::optional<int> exit_code;    // set when the child exited normally
    std::optional<int> term_signal;  // set when a signal ended it
    bool timed_out = false;
    bool cancelled = false;  // killed because the thread's canceller said stop
    std::string stdout_bytes;
    std::string stderr_bytes;
    // Peak resident set in kibibytes as the kernel reports it when the child
    // is reaped: the largest of the child's and its waited-for descendants'.
    std::optional<uint64_t> peak_rss_kb;

    bool success() const { return exit_code && *exit_code == 0 && !timed_out && !cancelled; }
};

// The exit code in decimal, or "none (killed by signal N)".
std::string exit_status_text(const Completed& done);

// Runs the command to completion. Fails only when the child cannot be
// started or its pipes fail; the error text is the system error text.
// When a canceller is installed on the calling thread (cancel::Scope), it is
// polled at least every cancel::kPollInterval while the child runs; once it
// says stop, the child's process group is killed and reaped, and the result
// is marked `cancelled`.
Result<Completed> run(const Command& cmd);

// Detail carried by the error of run() when the child could not be started
// at all, so callers can word that case apart from a pipe failure.
struct StartFailed {};
bool is_start_failure(const Error& e);

}  // namespace ferrolune::process
