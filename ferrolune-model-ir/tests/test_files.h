// Temporary files and a time limit for the reader tests.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <utility>

#include "ferrolune/testing/scratch.h"

namespace ferrolune::testing {

// Runs `f` and returns its result, ending the whole test program when it
// takes longer than a minute: a reader that blocks on a FIFO or reads an
// endless device would otherwise hang the suite instead of failing it.
template <typename F>
auto within_time_limit(F f) {
    auto task = std::async(std::launch::async, std::move(f));
    if (task.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "the call did not return within its time limit\n");
        std::_Exit(1);
    }
    return task.get();
}

}  // namespace ferrolune::testing
