#include <atomic>
#include <string>
#include <chrono>
#include <csignal>
#include <thread>

#include <sys/wait.h>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "ferrolune/core/cancel.h"
#include "ferrolune/core/process.h"

namespace p = ferrolune::process;
using namespace std::chrono_literals;

static p::Command sh(std::string script) {
    p::Command c;
    c.program = "/bin/sh";
    c.args = {"-c", std::move(script)};
    return c;
}

TEST(Process, captures_both_streams_and_exit_code) {
    auto r = p::run(sh("echo out; echo err >&2; exit 3"));
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(r->stdout_bytes, "out\n");
    EXPECT_EQ(r->stderr_bytes, "err\n");
    EXPECT_EQ(r->exit_code, 3);
    EXPECT_FALSE(r->success());
}

TEST(Process, chatty_child_on_both_streams_does_not_deadlock) {
    // 4 MB on each stream is far beyond a pipe's buffer.
    auto r = p::run(sh("head -c 4000000 /dev/zero; head -c 4000000 /dev/zero >&2"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->stdout_bytes.size(), 4000000u);
    EXPECT_EQ(r->stderr_bytes.size(), 4000000u);
}

TEST(Process, pipes_request_to_stdin) {
    auto c = sh("cat");
    c.stdin_mode = p::Input::Pipe;
    c.stdin_data = std::string(300000, 'x');
    auto r = p::run(c);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->stdout_bytes, c.stdin_data);
}

TEST(Process, null_stdin_reads_end_of_input) {
    auto r = p::run(sh("cat; echo done"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->stdout_bytes, "done\n");
}

TEST(Process, child_sees_only_standard_descriptors) {
    int leak = ::open("/dev/null", O_RDONLY);  // not close-on-exec on purpose
    ASSERT_GE(leak, 3);
    auto r = p::run(sh("ls /proc/self/fd"));
    ::close(leak);
    ASSERT_TRUE(r);
    // 0, 1, 2 and the descriptor ls opens to read the directory.
    EXPECT_EQ(r->stdout_bytes, "0\n1\n2\n3\n");
}

TEST(Process, ignored_signals_are_reset_in_child) {
    auto old = std::signal(SIGPIPE, SIG_IGN);
    auto r = p::run(sh("grep SigIgn /proc/self/status"));
    std::signal(SIGPIPE, old);
    ASSERT_TRUE(r);
    // Bit 12 is SIGPIPE (signal 13).
    auto mask = std::stoull(r->stdout_bytes.substr(r->stdout_bytes.find('\t') + 1), nullptr, 16);
    EXPECT_EQ(mask & (1ull << 12), 0u) << r->stdout_bytes;
}

TEST(Process, killed_by_signal_is_failure) {
    auto r = p::run(sh("kill -9 $$"));
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->exit_code);
    EXPECT_EQ(r->term_signal, 9);
    EXPECT_FALSE(r->success());
}

TEST(Process, missing_program_reports_system_error_text) {
    p::Command c;
    c.program = "/nonexistent/tool";
    auto r = p::run(c);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "No such file or directory (os error 2)");
    EXPECT_TRUE(p::is_start_failure(r.error()));
    c.program = "ferrolune-no-such-tool";
    EXPECT_FALSE(p::run(c));
}

TEST(Process, time_limit_kills_whole_process_group) {
    // The grandchild holds stdout open; killing only the child would hang.
    auto c = sh("sleep 30 & sleep 30");
    c.timeout = 300ms;
    auto start = std::chrono::steady_clock::now();
    auto r = p::run(c);
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->timed_out);
    EXPECT_FALSE(r->success());
    EXPECT_LT(took, 10s);
}

TEST(Process, time_limit_applies_after_output_closes) {
    auto c = sh("exec >/dev/null 2>&1; sleep 30");
    c.timeout = 200ms;
    auto r = p::run(c);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->timed_out);
}

TEST(Process, child_finishing_in_time_is_not_timed_out) {
    auto c = sh("echo hi");
    c.timeout = 10s;
    auto r = p::run(c);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->timed_out);
    EXPECT_TRUE(r->success());
}

TEST(Process, safe_from_several_threads) {
    std::atomic<int> ok{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 8; ++i)
        ts.emplace_back([&, i] {
            for (int k = 0; k < 10; ++k) {
                auto r = p::run(sh("echo " + std::to_string(i)));
                if (r && r->stdout_bytes == std::to_string(i) + "\n") ++ok;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(ok.load(), 80);
}

// Both ways of reaping (a plain wait, and the polled wait of a watched
// child) report what the child held at its peak.
class ProcessPeakMemory : public ::testing::TestWithParam<bool> {};

TEST_P(ProcessPeakMemory, reports_the_childs_peak_resident_set) {
    auto small = sh("exec /bin/true");
    auto large = sh("exec python3 -c 'b = b\"x\" * (96 << 20)'");
    if (GetParam()) small.timeout = large.timeout = 60s;
    auto s = p::run(small);
    auto l = p::run(large);
    ASSERT_TRUE(s && l);
    ASSERT_TRUE(l->success()) << l->stderr_bytes;
    ASSERT_TRUE(s->peak_rss_kb && l->peak_rss_kb);
    EXPECT_GE(*l->peak_rss_kb, 96u * 1024);
    EXPECT_LT(*s->peak_rss_kb, 96u * 1024);
}

INSTANTIATE_TEST_SUITE_P(Process, ProcessPeakMemory, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Watched" : "Unwatched"; });

TEST(Process, exit_status_text_names_code_or_signal) {
    auto code = p::run(sh("exit 4"));
    auto killed = p::run(sh("kill -9 $$"));
    ASSERT_TRUE(code && killed);
    EXPECT_EQ(p::exit_status_text(*code), "4");
    EXPECT_EQ(p::exit_status_text(*killed), "none (killed by signal 9)");
}

// True once `pid` has ended: no such process, or a zombie waiting for init.
static bool has_ended(pid_t pid) {
    std::string state;
    if (FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r")) {
        char line[512] = {};
        if (std::fgets(line, sizeof line, f)) state = line;
        std::fclose(f);
    }
    return state.empty() || state.find(") Z") != std::string::npos;
}

// Waits up to a few seconds for `pid` to end (a killed process needs a
// moment to be torn down).
static bool ends_soon(pid_t pid) {
    for (int i = 0; i < 300; ++i) {
        if (has_ended(pid)) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Stop requests: the child and everything it started are gone when run()
// returns, whichever way the stop arrives.
struct StopCase {
    const char* name;
    bool from_check;  // the interrupt check (owner thread) rather than another thread
};

class ProcessStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(ProcessStop, kills_and_reaps_the_sleeping_group) {
    std::atomic<bool> interrupt{false};
    ferrolune::cancel::Canceller canceller([&] { return interrupt.load(); });
    ferrolune::cancel::Scope scope(&canceller);
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        if (GetParam().from_check) interrupt = true;
        else canceller.request_stop();
    });
    // The grandchild keeps stdout open and prints its pid, so that it can be
    // looked for afterwards.
    auto r = p::run(sh("sleep 60 & echo $!; exec sleep 60"));
    stopper.join();
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_TRUE(r->cancelled);
    EXPECT_FALSE(r->timed_out);
    EXPECT_FALSE(r->success());
    EXPECT_EQ(r->term_signal, SIGKILL);
    pid_t grandchild = std::stoi(r->stdout_bytes);
    EXPECT_TRUE(ends_soon(grandchild)) << "pid " << grandchild << " survived the stop";
}

INSTANTIATE_TEST_SUITE_P(Process, ProcessStop,
                         ::testing::Values(StopCase{"interrupt_check", true}, StopCase{"stop_flag", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Process, stop_requested_before_start_still_reaps) {
    ferrolune::cancel::Canceller canceller;
    canceller.request_stop();
    ferrolune::cancel::Scope scope(&canceller);
    auto r = p::run(sh("sleep 60"));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->cancelled);
}

TEST(Process, child_dies_with_its_parent) {
    // A middle process starts the runner's child and dies at once; the
    // child, a sleeper, must follow it instead of living on under init.
    // Run in a forked copy of this test so the parent can really die.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t middle = ::fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        ::close(fds[0]);
        std::thread t([&] {
            p::Command c = sh("echo $$; exec sleep 60");
            c.stdout_mode = p::Output::Inherit;
            ::dup2(fds[1], 1);
            (void)p::run(c);
        });
        std::this_thread::sleep_for(300ms);
        ::_exit(0);  // the runner's thread never returns: its parent dies first
    }
    ::close(fds[1]);
    char buf[32] = {};
    ssize_t got = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    int st;
    ::waitpid(middle, &st, 0);
    ASSERT_GT(got, 0);
    pid_t sleeper = std::atoi(buf);
    bool gone = ends_soon(sleeper);
    EXPECT_TRUE(gone) << "pid " << sleeper << " outlived its parent";
    if (!gone) ::kill(sleeper, SIGKILL);
}
