// Stopping long work on request: a stop flag shared by the thread that waits
// and the threads that work, and an interrupt check that only the waiting
// thread runs. Child processes started through process::run on a thread
// that has a canceller installed are killed and reaped once it says stop.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "ferrolune/core/error.h"

namespace ferrolune::cancel {

// How long a waiting thread may go without looking at its canceller: an
// interrupt is noticed within this time.
inline constexpr std::chrono::milliseconds kPollInterval{100};

// Returns true when the work must stop. Runs only on the thread that created
// the canceller (the caller's thread, where an interpreter may be polled).
using InterruptCheck = std::function<bool()>;

class Canceller {
public:
    explicit Canceller(InterruptCheck check = {});
    Canceller(const Canceller&) = delete;
    Canceller& operator=(const Canceller&) = delete;

    // On the creating thread runs the check first (and requests a stop when
    // it says so); on any thread reports whether a stop has been requested.
    bool poll();
    void request_stop() { stop_.store(true, std::memory_order_release); }
    bool stop_requested() const { return stop_.load(std::memory_order_acquire); }

private:
    InterruptCheck check_;
    std::thread::id owner_;
    std::atomic<bool> stop_{false};
};

// The canceller that process::run and run_benchmarks use on this thread, or
// null when none is installed.
Canceller* current();

// Installs a canceller on this thread for the scope's lifetime (the previous
// one comes back afterwards). Worker threads install their caller's.
class Scope {
public:
    explicit Scope(Canceller* canceller);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Canceller* previous_;
};

// The error of work that stopped because a stop was requested, and its test.
struct Interrupted {};
Error interrupted_error();
bool is_interrupted(const Error& e);

}  // namespace ferrolune::cancel
