#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace tarnvel::bench {

namespace {

[[noreturn]] void throw_errno(const char* what, int code = errno) {
    throw std::system_error(code, std::generic_category(), what);
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The child's descriptors come in through dup2, which also clears their
// close-on-exec flag; every other descriptor of ours is close-on-exec, so the
// child holds no other child's lifeline.
pid_t spawn_self(const std::vector<std::string>& args, int child_stdin, int child_stdout) {
    posix_spawn_file_actions_t actions;
    if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) throw_errno("posix_spawn_file_actions_init", rc);
    posix_spawn_file_actions_adddup2(&actions, child_stdin, 0);
    if (child_stdout >= 0) posix_spawn_file_actions_adddup2(&actions, child_stdout, 1);

    std::vector<std::string> argv_strings;
    argv_strings.emplace_back("tarnvel_bench");
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_strings) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw_errno("posix_spawn /proc/self/exe", rc);
    return pid;
}

}  // namespace

ChildProcess ChildProcess::spawn_with_pipes(const std::vector<std::string>& args) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw_errno("pipe2");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        int code = errno;
        ::close(in[0]);
        ::close(in[1]);
        throw_errno("pipe2", code);
    }
    pid_t pid = -1;
    try {
        pid = spawn_self(args, in[0], out[1]);
    } catch (...) {
        for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
        throw;
    }
    ::close(in[0]);
    ::close(out[1]);
    return ChildProcess(pid, in[1], out[0]);
}

ChildProcess ChildProcess::spawn_with_socket(const std::vector<std::string>& args) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw_errno("socketpair");
    pid_t pid = -1;
    try {
        pid = spawn_self(args, pair[1], -1);
    } catch (...) {
        ::close(pair[0]);
        ::close(pair[1]);
        throw;
    }
    ::close(pair[1]);
    return ChildProcess(pid, pair[0], -1);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), lifeline_(other.lifeline_), output_(other.output_) {
    other.pid_ = -1;
    other.lifeline_ = -1;
    other.output_ = -1;
}

ChildProcess::~ChildProcess() { finish(); }

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds limit) {
    if (output_ < 0) return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{output_, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        char c;
        ssize_t got = ::read(output_, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        if (c == '\n') return line;
        line.push_back(c);
    }
}

bool ChildProcess::write_line(const std::string& line) {
    std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = ::write(lifeline_, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

std::string ChildProcess::finish() {
    close_fd(lifeline_);
    close_fd(output_);
    if (pid_ < 0) return "gone";
    int status = 0;
    pid_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string text;
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        while ((done = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        text = "killed after 5 s";
    } else if (done < 0) {
        text = "lost";
    } else if (WIFEXITED(status)) {
        text = "exit " + std::to_string(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        text = "signal " + std::to_string(WTERMSIG(status));
    }
    pid_ = -1;
    return text;
}

}  // namespace tarnvel::bench
