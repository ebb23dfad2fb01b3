// A child program for multi-process tests: its stdin and stdout are pipes to
// the test, its stderr is the test's own (so sanitizer reports show up).
// Nothing here names an OS type, so one implementation per platform fits
// behind it (fork/exec style on POSIX, CreateProcess with pipes on Windows).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::test {

class ChildProcess {
public:
    // Exit code reported for a child ended by kill(), on every platform.
    static constexpr int KILLED_EXIT_CODE = 137;

    // Starts `program` with `args` as its arguments (not including the
    // program itself). Throws std::runtime_error when it cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    // Ends a child that is still running: closes its stdin, gives it a moment
    // to leave on its own, then kills it. Never throws.
    ~ChildProcess();

    ChildProcess(ChildProcess&&) noexcept;
    ChildProcess& operator=(ChildProcess&&) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    uint32_t pid() const noexcept;

    // The next line of the child's stdout without its line end; nothing at
    // end of output or when `timeout` passes first.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);

    // False when the child no longer reads its stdin.
    bool write_line(std::string_view line);
    // The child then reads end of input.
    void close_stdin() noexcept;

    // The exit code once the child has ended (128 + signal number for a POSIX
    // signal, as shells report it); nothing when `timeout` passes first.
    std::optional<int> wait(std::chrono::milliseconds timeout);

    // Ends the child at once, like a crash (SIGKILL / TerminateProcess), and
    // with it every process it has forked; waits until it is gone.
    void kill() noexcept;

    bool running() const noexcept;

    struct Native;

private:
    std::unique_ptr<Native> native_;
};

}  // namespace tarnvel::test
