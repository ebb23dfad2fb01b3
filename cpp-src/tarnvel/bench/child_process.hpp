// Copies of this program started as servers for the benchmark.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel::bench {

// A child running /proc/self/exe with the given arguments. The child's stdin
// is its lifeline: it serves until stdin reports end of file, which happens
// when finish() closes our end or when this process dies in any way, so no
// server outlives the benchmark.
class ChildProcess {
public:
    // stdin is a pipe we hold the write end of; stdout is a pipe we read
    // (the server announces itself there).
    static ChildProcess spawn_with_pipes(const std::vector<std::string>& args);
    // stdin is one end of a Unix stream socket pair; the other end is kept
    // here (socket()). stdout is inherited.
    static ChildProcess spawn_with_socket(const std::vector<std::string>& args);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    int socket() const { return lifeline_; }

    // One line from the child's stdout without its newline; nothing on end of
    // file or when the limit passes.
    std::optional<std::string> read_line(std::chrono::milliseconds limit);

    // Writes one line to the child's stdin (a pipe child only); false when
    // the child has gone.
    bool write_line(const std::string& line);

    // Cuts the lifeline and reaps the child, killing it if it has not left
    // within a few seconds. Returns its wait status text ("exit 0", ...).
    std::string finish();

private:
    ChildProcess(pid_t pid, int lifeline, int output) : pid_(pid), lifeline_(lifeline), output_(output) {}

    pid_t pid_ = -1;
    int lifeline_ = -1;
    int output_ = -1;
};

}  // namespace tarnvel::bench
