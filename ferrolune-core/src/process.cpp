#include "ferrolune/core/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ferrolune::process {
namespace {

using Clock = std::chrono::steady_clock;

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

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

struct SpawnAttr {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnAttr() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnAttr() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

int wait_child(pid_t pid, int* status, int flags) {
    for (;;) {
        pid_t r = ::waitpid(pid, status, flags);
        if (r >= 0) return static_cast<int>(r);
        if (errno != EINTR) return -1;
    }
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

}  // namespace

std::string exit_status_text(const Completed& done) {
    if (done.exit_code) return std::to_string(*done.exit_code);
    if (done.term_signal) return "none (killed by signal " + std::to_string(*done.term_signal) + ")";
    return "none";
}

Result<Completed> run(const Command& cmd) {
    Pipe in_pipe, out_pipe, err_pipe;
    if (cmd.stdin_mode == Input::Pipe) {
        auto p = make_pipe();
        if (!p) return fail(p.error());
        in_pipe = std::move(*p);
    }
    if (cmd.stdout_mode == Output::Capture) {
        auto p = make_pipe();
        if (!p) return fail(p.error());
        out_pipe = std::move(*p);
    }
    if (cmd.stderr_mode == Output::Capture) {
        auto p = make_pipe();
        if (!p) return fail(p.error());
        err_pipe = std::move(*p);
    }

    SpawnAttr sa;
    // The child starts with every signal at its default disposition and an
    // empty mask: CPython ignores SIGPIPE, which a child must not inherit.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    posix_spawnattr_setsigdefault(&sa.attr, &all);
    posix_spawnattr_setsigmask(&sa.attr, &none);
    if (cmd.timeout) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&sa.attr, 0);
    }
    posix_spawnattr_setflags(&sa.attr, flags);

    auto redirect = [&](int target, const Fd& pipe_end, bool null, bool for_read) {
        if (pipe_end.fd >= 0) {
            posix_spawn_file_actions_adddup2(&sa.actions, pipe_end.fd, target);
        } else if (null) {
            posix_spawn_file_actions_addopen(&sa.actions, target, "/dev/null", for_read ? O_RDONLY : O_WRONLY, 0);
        }
    };
    redirect(0, in_pipe.read, cmd.stdin_mode == Input::Null, true);
    redirect(1, out_pipe.write, cmd.stdout_mode == Output::Null, false);
    redirect(2, err_pipe.write, cmd.stderr_mode == Output::Null, false);
    // Nothing beyond the standard three reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&sa.actions, 3);

    std::vector<std::string> argv_store;
    argv_store.reserve(cmd.args.size() + 1);
    argv_store.push_back(cmd.program);
    for (const auto& a : cmd.args) argv_store.push_back(a);
    std::vector<char*> argv;
    for (auto& a : argv_store) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    bool bare = cmd.program.find('/') == std::string::npos;
    int rc = bare ? ::posix_spawnp(&pid, cmd.program.c_str(), &sa.actions, &sa.attr, argv.data(), environ)
                  : ::posix_spawn(&pid, cmd.program.c_str(), &sa.actions, &sa.attr, argv.data(), environ);
    if (rc != 0) {
        Error e = os_error(rc);
        e.set_detail(StartFailed{});
        return fail(std::move(e));
    }

    in_pipe.read.reset();
    out_pipe.write.reset();
    err_pipe.write.reset();

    Completed done;
    const auto deadline = cmd.timeout ? Clock::now() + *cmd.timeout : Clock::time_point::max();
    auto kill_group = [&] {
        done.timed_out = true;
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
    };
    auto remaining_ms = [&]() -> int {
        if (!cmd.timeout) return -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
    };

    size_t written = 0;
    if (in_pipe.write.fd >= 0 && cmd.stdin_data.empty()) in_pipe.write.reset();
    if (in_pipe.write.fd >= 0) ::fcntl(in_pipe.write.fd, F_SETFL, O_NONBLOCK);

    int io_error = 0;
    char buf[65536];
    while (!done.timed_out && (out_pipe.read.fd >= 0 || err_pipe.read.fd >= 0 || in_pipe.write.fd >= 0)) {
        pollfd fds[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_pipe.read.fd >= 0) { out_i = n; fds[n++] = {out_pipe.read.fd, POLLIN, 0}; }
        if (err_pipe.read.fd >= 0) { err_i = n; fds[n++] = {err_pipe.read.fd, POLLIN, 0}; }
        if (in_pipe.write.fd >= 0) { in_i = n; fds[n++] = {in_pipe.write.fd, POLLOUT, 0}; }
        int wait_ms = remaining_ms();
        if (cmd.timeout && wait_ms == 0) {
            kill_group();
            break;
        }
        int pr = ::poll(fds, static_cast<nfds_t>(n), wait_ms);
        if (pr < 0) {
            if (errno == EINTR) continue;
            io_error = errno;
            break;
        }
        if (pr == 0) continue;  // the deadline check above fires next
        auto drain = [&](int idx, Fd& fd, std::string& sink) {
            if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t got = ::read(fd.fd, buf, sizeof buf);
            if (got > 0) {
                sink.append(buf, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                if (got < 0) io_error = errno;
                fd.reset();
            }
        };
        drain(out_i, out_pipe.read, done.stdout_bytes);
        drain(err_i, err_pipe.read, done.stderr_bytes);
        if (in_i >= 0 && (fds[in_i].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write_no_sigpipe(in_pipe.write.fd, cmd.stdin_data.data() + written, cmd.stdin_data.size() - written);
            if (w > 0) {
                written += static_cast<size_t>(w);
                if (written == cmd.stdin_data.size()) in_pipe.write.reset();
            } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
                // The child stopped reading; what it did read is its business.
                in_pipe.write.reset();
            }
        }
    }
    in_pipe.write.reset();
    out_pipe.read.reset();
    err_pipe.read.reset();
    if (io_error != 0 && !done.timed_out) {
        // Do not leave the child running or unreaped.
        ::kill(pid, SIGKILL);
        int st;
        wait_child(pid, &st, 0);
        return fail(os_error(io_error));
    }

    int status = 0;
    if (cmd.timeout && !done.timed_out) {
        // The pipes are closed but the child may live on: wait up to the deadline.
        for (;;) {
            int r = wait_child(pid, &status, WNOHANG);
            if (r == pid) break;
            if (r < 0) return fail(os_error(errno));
            if (remaining_ms() == 0) {
                kill_group();
                break;
            }
            timespec nap{0, 2'000'000};
            nanosleep(&nap, nullptr);
        }
        if (!done.timed_out) goto reaped;
    }
    if (wait_child(pid, &status, 0) < 0) return fail(os_error(errno));
reaped:
    if (done.timed_out) {
        // Reap the killed group's leader; members are reparented to init.
        ::kill(-pid, SIGKILL);
    }
    if (WIFEXITED(status)) done.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) done.term_signal = WTERMSIG(status);
    return done;
}

bool is_start_failure(const Error& e) { return std::any_cast<StartFailed>(&e.detail()) != nullptr; }

}  // namespace ferrolune::process
