#include "ferrolune/core/process.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ferrolune/core/cancel.h"
#include "ferrolune/core/file.h"

extern char** environ;

namespace ferrolune::process {
namespace {

using Clock = std::chrono::steady_clock;
using file::Fd;

struct Pipe {
    Fd read, write;
};

Result<Pipe> make_pipe() {
    int fds[2];
    // Close-on-exec so a child started by another thread meanwhile never
    // inherits our ends.
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail(os_error(errno));
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

Error start_failure(int err) {
    Error e = os_error(err);
    e.set_detail(StartFailed{});
    return e;
}

// Everything the child needs, prepared before the fork: between fork and
// exec the child may only make async-signal-safe calls, so no allocation.
struct ChildPlan {
    std::vector<const char*> candidates;  // full paths to try in order
    std::vector<char*> argv;
    int stdio_source[3] = {-1, -1, -1};   // pipe ends to place on 0, 1, 2
    bool stdio_null[3] = {false, false, false};
    bool own_group = false;
    pid_t parent = -1;
    int status_fd = -1;                   // receives errno when exec fails
};

void close_from(unsigned first, unsigned last) {
    if (first > last) return;
    if (::syscall(SYS_close_range, first, last, 0) == 0) return;
    // Kernels before 5.9: close one by one up to the descriptor limit.
    long limit = ::sysconf(_SC_OPEN_MAX);
    unsigned top = std::min<unsigned long>(last, limit > 0 ? static_cast<unsigned long>(limit) : 1024);
    for (unsigned fd = first; fd <= top; ++fd) ::close(static_cast<int>(fd));
}

[[noreturn]] void exec_child(const ChildPlan& plan) {
    // Every signal back at its default disposition (CPython ignores SIGPIPE,
    // which a child must not inherit); the mask is emptied last, below.
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);

    if (plan.own_group) ::setpgid(0, 0);
    // Die with the thread that started us; that thread reaps us before it
    // ends, so only the death of the whole parent fires this. The parent
    // may have died before the request took hold.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != plan.parent) ::_exit(127);

    auto report = [&](int err) {
        ssize_t ignored = ::write(plan.status_fd, &err, sizeof err);
        (void)ignored;
        ::_exit(127);
    };
    for (int target = 0; target < 3; ++target) {
        int src = plan.stdio_source[target];
        if (src < 0 && plan.stdio_null[target]) {
            src = ::open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
            if (src < 0) report(errno);
        }
        if (src < 0) continue;
        if (src == target) {
            // dup2 onto itself would keep close-on-exec set.
            if (::fcntl(target, F_SETFD, 0) != 0) report(errno);
        } else if (::dup2(src, target) < 0) {
            report(errno);
        }
    }
    // Nothing beyond the standard three reaches the child; the status pipe
    // is close-on-exec and goes with a successful exec.
    const unsigned status = static_cast<unsigned>(plan.status_fd);
    close_from(3, status - 1);
    close_from(status + 1, UINT_MAX);

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // The search order of execvp, without its allocation: an entry that
    // exists but may not be run is remembered in case nothing better comes.
    int err = ENOENT;
    bool denied = false;
    for (const char* path : plan.candidates) {
        if (!path) break;
        ::execve(path, plan.argv.data(), environ);
        err = errno;
        if (err == EACCES) denied = true;
        else if (err != ENOENT && err != ENOTDIR && err != ESTALE && err != ENODEV && err != ETIMEDOUT) break;
    }
    report(denied && (err == ENOENT || err == ENOTDIR) ? EACCES : err);
    ::_exit(127);
}

// The files the system's program search would try for `program`.
std::vector<std::string> exec_candidates(const std::string& program) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return {program};
    const char* env = std::getenv("PATH");
    std::string path = env ? env : "/bin:/usr/bin";
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        // An empty entry is the current directory.
        out.push_back((dir.empty() ? std::string(".") : dir) + "/" + program);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return out;
}

// A started child and the parent's ends of its pipes.
struct Spawned {
    pid_t pid = -1;
    bool own_group = false;
    Fd stdin_write, stdout_read, stderr_read;
};

Result<Spawned> spawn(const Command& cmd, bool own_group) {
    Pipe in, out, err;
    if (cmd.stdin_mode == Input::Pipe) {
        auto p = make_pipe();
        if (!p) return fail(p.error());
        in = std::move(*p);
    }
    if (cmd.stdout_mode == Output::Capture) {
        auto p = make_pipe();
        if (!p) return fail(p.error());
        out = std::move(*p);
    }
    if (cmd.stderr_mode == Output::Capture) {
        auto p = make_pipe();
        if (!p) return fail(p.error());
        err = std::move(*p);
    }
    auto status = make_pipe();
    if (!status) return fail(status.error());

    std::vector<std::string> candidates = exec_candidates(cmd.program);
    if (candidates.empty()) return fail(start_failure(ENOENT));
    std::vector<std::string> argv_store;
    argv_store.reserve(cmd.args.size() + 1);
    argv_store.push_back(cmd.program);
    argv_store.insert(argv_store.end(), cmd.args.begin(), cmd.args.end());

    ChildPlan plan;
    for (const auto& c : candidates) plan.candidates.push_back(c.c_str());
    plan.candidates.push_back(nullptr);
    for (auto& a : argv_store) plan.argv.push_back(a.data());
    plan.argv.push_back(nullptr);
    plan.stdio_source[0] = in.read.get();
    plan.stdio_source[1] = out.write.get();
    plan.stdio_source[2] = err.write.get();
    plan.stdio_null[0] = cmd.stdin_mode == Input::Null;
    plan.stdio_null[1] = cmd.stdout_mode == Output::Null;
    plan.stdio_null[2] = cmd.stderr_mode == Output::Null;
    plan.own_group = own_group;
    plan.parent = ::getpid();
    plan.status_fd = status->write.get();

    // No handler of ours may run in the child before its dispositions are
    // reset; vfork shares our memory, so the mask is restored only here.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = ::vfork();
    if (pid == 0) exec_child(plan);
    int fork_errno = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) return fail(start_failure(fork_errno));

    status->write.reset();
    in.read.reset();
    out.write.reset();
    err.write.reset();

    int exec_errno = 0;
    ssize_t got;
    do got = ::read(status->read.get(), &exec_errno, sizeof exec_errno);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof exec_errno)) {
        int st;
        while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
        return fail(start_failure(exec_errno));
    }
    return Spawned{pid, own_group, std::move(in.write), std::move(out.read), std::move(err.read)};
}

// Writes to a pipe whose reader may have gone away without raising SIGPIPE
// in this process (C++ callers do not ignore it as CPython does).
ssize_t write_no_sigpipe(int fd, const char* data, size_t len) {
    sigset_t pipe_set, old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    ssize_t n = ::write(fd, data, len);
    int saved = errno;
    if (n < 0 && saved == EPIPE) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    errno = saved;
    return n;
}

// When the wait must end early: the time limit, or a stop request.
class Watch {
public:
    Watch(const Command& cmd, cancel::Canceller* canceller)
        : limited_(cmd.timeout.has_value()),
          deadline_(limited_ ? Clock::now() + *cmd.timeout : Clock::time_point::max()),
          canceller_(canceller) {}

    bool active() const { return limited_ || canceller_; }

    // Marks `done` and returns true when the child must be stopped now.
    bool must_stop(Completed& done) const {
        if (canceller_ && canceller_->poll()) done.cancelled = true;
        else if (limited_ && Clock::now() >= deadline_) done.timed_out = true;
        return done.cancelled || done.timed_out;
    }

    // How long one wait may last (-1: unbounded).
    int wait_ms() const {
        long long ms = -1;
        if (limited_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
            ms = std::clamp<long long>(left, 0, 1 << 30);
        }
        if (canceller_) ms = ms < 0 ? cancel::kPollInterval.count() : std::min<long long>(ms, cancel::kPollInterval.count());
        return static_cast<int>(ms);
    }

private:
    bool limited_;
    Clock::time_point deadline_;
    cancel::Canceller* canceller_;
};

void kill_child(const Spawned& s) {
    if (s.own_group) ::kill(-s.pid, SIGKILL);
    ::kill(s.pid, SIGKILL);
}

// Feeds stdin and drains stdout and stderr together until all three are
// closed, or the watch says stop (then the child is killed). Returns the
// errno of a failed pipe operation, or 0.
int pump(const Command& cmd, Spawned& s, const Watch& watch, Completed& done) {
    size_t written = 0;
    if (s.stdin_write && cmd.stdin_data.empty()) s.stdin_write.reset();
    if (s.stdin_write) ::fcntl(s.stdin_write.get(), F_SETFL, O_NONBLOCK);

    char buf[65536];
    while (s.stdout_read || s.stderr_read || s.stdin_write) {
        if (watch.must_stop(done)) {
            kill_child(s);
            return 0;
        }
        pollfd fds[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (s.stdout_read) { out_i = n; fds[n++] = {s.stdout_read.get(), POLLIN, 0}; }
        if (s.stderr_read) { err_i = n; fds[n++] = {s.stderr_read.get(), POLLIN, 0}; }
        if (s.stdin_write) { in_i = n; fds[n++] = {s.stdin_write.get(), POLLOUT, 0}; }
        int pr = ::poll(fds, static_cast<nfds_t>(n), watch.wait_ms());
        if (pr < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (pr == 0) continue;  // the watch looks again at the top
        int io_error = 0;
        auto drain = [&](int idx, Fd& fd, std::string& sink) {
            if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t got = ::read(fd.get(), buf, sizeof buf);
            if (got > 0) {
                sink.append(buf, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                if (got < 0) io_error = errno;
                fd.reset();
            }
        };
        drain(out_i, s.stdout_read, done.stdout_bytes);
        drain(err_i, s.stderr_read, done.stderr_bytes);
        if (io_error != 0) return io_error;
        if (in_i >= 0 && (fds[in_i].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write_no_sigpipe(s.stdin_write.get(), cmd.stdin_data.data() + written,
                                         cmd.stdin_data.size() - written);
            if (w > 0) {
                written += static_cast<size_t>(w);
                if (written == cmd.stdin_data.size()) s.stdin_write.reset();
            } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
                // The child stopped reading; what it did read is its business.
                s.stdin_write.reset();
            }
        }
    }
    return 0;
}

Status wait_blocking(pid_t pid, int& status, rusage* usage = nullptr) {
    while (::wait4(pid, &status, 0, usage) < 0)
        if (errno != EINTR) return fail(os_error(errno));
    return {};
}

// Waits for the child; with a watch, the pipes may be closed while the
// child lives on, so it is polled and killed when the watch says stop.
Status reap(const Spawned& s, const Watch& watch, Completed& done) {
    int status = 0;
    rusage usage{};
    if (!watch.active() || done.timed_out || done.cancelled) {
        if (auto st = wait_blocking(s.pid, status, &usage); !st) return st;
    } else {
        long nap_ms = 1;
        for (;;) {
            pid_t r = ::wait4(s.pid, &status, WNOHANG, &usage);
            if (r == s.pid) break;
            if (r < 0 && errno != EINTR) return fail(os_error(errno));
            if (watch.must_stop(done)) {
                kill_child(s);
                if (auto st = wait_blocking(s.pid, status, &usage); !st) return st;
                break;
            }
            // Short naps first (most children are already exiting), then
            // longer ones, never longer than the watch allows.
            long cap = watch.wait_ms() < 0 ? 50 : std::max(1, watch.wait_ms());
            timespec nap{0, std::min(nap_ms, cap) * 1'000'000L};
            ::nanosleep(&nap, nullptr);
            nap_ms = std::min(nap_ms * 2, 50L);
        }
    }
    // Members of a killed group may outlive their leader; they are
    // reparented to init once it is reaped.
    if ((done.timed_out || done.cancelled) && s.own_group) ::kill(-s.pid, SIGKILL);
    if (WIFEXITED(status)) done.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) done.term_signal = WTERMSIG(status);
    // Linux reports kibibytes; zero means the kernel kept no figure.
    if (usage.ru_maxrss > 0) done.peak_rss_kb = static_cast<uint64_t>(usage.ru_maxrss);
    return {};
}

}  // namespace

std::string exit_status_text(const Completed& done) {
    if (done.exit_code) return std::to_string(*done.exit_code);
    if (done.term_signal) return "none (killed by signal " + std::to_string(*done.term_signal) + ")";
    return "none";
}

Result<Completed> run(const Command& cmd) {
    cancel::Canceller* canceller = cancel::current();
    // A child that may have to be stopped gets its own process group, so
    // that whatever it starts goes with it (and a terminal's Ctrl-C reaches
    // only us, who then stop it).
    Result<Spawned> spawned = spawn(cmd, cmd.timeout.has_value() || canceller != nullptr);
    if (!spawned) return fail(spawned.error());
    Spawned& s = *spawned;

    Watch watch(cmd, canceller);
    Completed done;
    int io_error = pump(cmd, s, watch, done);
    s.stdin_write.reset();
    s.stdout_read.reset();
    s.stderr_read.reset();
    if (io_error != 0) {
        // Do not leave the child running or unreaped.
        kill_child(s);
        int st;
        (void)wait_blocking(s.pid, st);
        return fail(os_error(io_error));
    }
    if (Status st = reap(s, watch, done); !st) return fail(st.error());
    return done;
}

bool is_start_failure(const Error& e) { return std::any_cast<StartFailed>(&e.detail()) != nullptr; }

}  // namespace ferrolune::process
