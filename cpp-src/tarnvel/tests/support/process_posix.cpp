#include "support/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarnvel::test {

struct ChildProcess::Native {
    pid_t pid = -1;
    int stdin_fd = -1;
    int stdout_fd = -1;
    std::string buffer;  // stdout bytes read but not yet returned as a line
    bool stdout_ended = false;
    std::optional<int> exit_code;  // set once reaped

    ~Native() {
        close_fd(stdin_fd);
        close_fd(stdout_fd);
    }

    static void close_fd(int& fd) noexcept {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    bool try_reap(int flags) noexcept {
        if (exit_code) return true;
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &status, flags);
        } while (r < 0 && errno == EINTR);
        if (r != pid) return false;
        if (WIFEXITED(status))
            exit_code = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            exit_code = 128 + WTERMSIG(status);
        else
            exit_code = -1;
        return true;
    }
};

namespace {

// Writing to a child that has gone must fail with EPIPE rather than end the
// test with SIGPIPE; the children get the default disposition back at spawn.
void ignore_sigpipe_once() {
    static const bool done = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

[[noreturn]] void fail(const std::string& what, int err) { throw std::runtime_error(what + ": " + std::strerror(err)); }

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : native_(std::make_unique<Native>()) {
    ignore_sigpipe_once();

    int in_pipe[2];
    int out_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) fail("pipe", errno);
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        int err = errno;
        ::close(in_pipe[0]);
        ::close(in_pipe[1]);
        fail("pipe", err);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the targets; every other descriptor of the
    // test (both pipe ends included) is close-on-exec.
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t no_mask;
    sigemptyset(&no_mask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &no_mask);
    // Its own process group, so kill() also reaches the processes it forks.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    if (rc != 0) {
        ::close(in_pipe[1]);
        ::close(out_pipe[0]);
        fail("cannot start " + program, rc);
    }
    native_->pid = pid;
    native_->stdin_fd = in_pipe[1];
    native_->stdout_fd = out_pipe[0];
}

ChildProcess::~ChildProcess() {
    if (!native_) return;
    if (native_->pid > 0 && !native_->exit_code) {
        close_stdin();
        if (!wait(std::chrono::seconds(3))) kill();
    }
}

ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        ChildProcess old(std::move(*this));
        native_ = std::move(other.native_);
    }
    return *this;
}

uint32_t ChildProcess::pid() const noexcept { return static_cast<uint32_t>(native_->pid); }

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
    auto& n = *native_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto eol = n.buffer.find('\n');
        if (eol != std::string::npos) {
            std::string line = n.buffer.substr(0, eol);
            n.buffer.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (n.stdout_ended || n.stdout_fd < 0) return std::nullopt;

        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        pollfd pfd{n.stdout_fd, POLLIN, 0};
        int pr = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (pr < 0) {
            if (errno == EINTR) continue;
            fail("poll", errno);
        }
        if (pr == 0) return std::nullopt;

        char chunk[4096];
        ssize_t got = ::read(n.stdout_fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            fail("read", errno);
        }
        if (got == 0)
            n.stdout_ended = true;
        else
            n.buffer.append(chunk, static_cast<size_t>(got));
    }
}

bool ChildProcess::write_line(std::string_view line) {
    auto& n = *native_;
    if (n.stdin_fd < 0) return false;
    std::string data(line);
    data.push_back('\n');
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::write(n.stdin_fd, data.data() + done, data.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

void ChildProcess::close_stdin() noexcept { Native::close_fd(native_->stdin_fd); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    auto& n = *native_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(200);
    while (!n.try_reap(WNOHANG)) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
    }
    return n.exit_code;
}

void ChildProcess::kill() noexcept {
    auto& n = *native_;
    if (n.pid <= 0 || n.exit_code) return;
    ::kill(-n.pid, SIGKILL);
    ::kill(n.pid, SIGKILL);
    n.try_reap(0);
}

bool ChildProcess::running() const noexcept {
    const auto& n = *native_;
    if (n.pid <= 0 || n.exit_code) return false;
    siginfo_t info{};
    // WNOWAIT: look without reaping, so wait() still reports the exit code.
    if (::waitid(P_PID, static_cast<id_t>(n.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

}  // namespace tarnvel::test
