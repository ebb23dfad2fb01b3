#include "support/process.hpp"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace tarnvel::test {

namespace {

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, nullptr);
        }
        return *this;
    }
    ~Handle() { reset(); }

    HANDLE get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    void reset() noexcept {
        if (h_ != nullptr) CloseHandle(std::exchange(h_, nullptr));
    }

private:
    HANDLE h_ = nullptr;
};

[[noreturn]] void fail(const std::string& what, DWORD error) {
    throw std::runtime_error(what + ": error " + std::to_string(error));
}

// Inheritable handles go to every child started while they are inheritable,
// so pipe ends are made inheritable only under this lock, and only until the
// child has them: another child never holds our pipes open.
std::mutex& spawn_mutex() {
    static std::mutex m;
    return m;
}

// Quotes one argument so that the child's C runtime splits it back out
// unchanged (backslashes are literal except before a quote).
void append_quoted(std::string& command_line, const std::string& arg) {
    if (!command_line.empty()) command_line.push_back(' ');
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        command_line += arg;
        return;
    }
    command_line.push_back('"');
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            command_line.append(backslashes * 2 + 1, '\\');
        } else {
            command_line.append(backslashes, '\\');
        }
        backslashes = 0;
        command_line.push_back(c);
    }
    command_line.append(backslashes * 2, '\\');
    command_line.push_back('"');
}

// The tests are built on Linux, so the program path they are given can be a
// Unix one. Wine knows its Windows name; on Windows the path is used as is.
std::string windows_path(const std::string& program) {
    if (program.empty() || program[0] != '/') return program;
    using ToDos = WCHAR*(CDECL*)(LPCSTR);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel32 != nullptr ? GetProcAddress(kernel32, "wine_get_dos_file_name") : nullptr;
    if (proc == nullptr) return program;
    auto to_dos = reinterpret_cast<ToDos>(reinterpret_cast<void (*)()>(proc));
    WCHAR* wide = to_dos(program.c_str());
    if (wide == nullptr) return program;
    std::string result = program;
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n > 1) {
        result.assign(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide, -1, result.data(), n, nullptr, nullptr);
        result.resize(static_cast<size_t>(n - 1));
    }
    HeapFree(GetProcessHeap(), 0, wide);
    return result;
}

DWORD to_wait_ms(std::chrono::milliseconds timeout) {
    if (timeout.count() <= 0) return 0;
    return static_cast<DWORD>(std::min<long long>(timeout.count(), INFINITE - 1));
}

}  // namespace

struct ChildProcess::Native {
    Handle process;
    // Holds the child and whatever it starts, so kill() ends them all and a
    // test that dies leaves no peer behind (the job kills on its last close).
    Handle job;
    Handle stdin_write;
    Handle stdout_read;
    uint32_t pid = 0;
    std::string buffer;  // stdout bytes read but not yet returned as a line
    bool stdout_ended = false;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : native_(std::make_unique<Native>()) {
    auto& n = *native_;
    const std::string path = windows_path(program);
    std::string command_line;
    append_quoted(command_line, path);
    for (const auto& a : args) append_quoted(command_line, a);

    n.job = Handle(CreateJobObjectA(nullptr, nullptr));
    if (n.job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(n.job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
            n.job.reset();
    }

    std::lock_guard lock(spawn_mutex());
    HANDLE raw[2];
    if (!CreatePipe(&raw[0], &raw[1], nullptr, 0)) fail("CreatePipe", GetLastError());
    Handle child_stdin(raw[0]);
    n.stdin_write = Handle(raw[1]);
    if (!CreatePipe(&raw[0], &raw[1], nullptr, 0)) fail("CreatePipe", GetLastError());
    n.stdout_read = Handle(raw[0]);
    Handle child_stdout(raw[1]);

    HANDLE own_stderr = GetStdHandle(STD_ERROR_HANDLE);
    Handle child_stderr;
    if (own_stderr != nullptr && own_stderr != INVALID_HANDLE_VALUE) {
        HANDLE dup = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), own_stderr, GetCurrentProcess(), &dup, 0, TRUE, DUPLICATE_SAME_ACCESS))
            child_stderr = Handle(dup);
    }
    SetHandleInformation(child_stdin.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(child_stdout.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_stdin.get();
    startup.hStdOutput = child_stdout.get();
    startup.hStdError = child_stderr.get();
    PROCESS_INFORMATION info{};
    // Suspended until it is in the job, so nothing it starts escapes it.
    if (!CreateProcessA(path.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &info)) {
        const DWORD error = GetLastError();
        fail("cannot start " + program, error);
    }
    n.process = Handle(info.hProcess);
    Handle thread(info.hThread);
    n.pid = info.dwProcessId;
    if (n.job && !AssignProcessToJobObject(n.job.get(), info.hProcess)) n.job.reset();
    ResumeThread(info.hThread);
}

ChildProcess::~ChildProcess() {
    if (!native_) return;
    if (running()) {
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

uint32_t ChildProcess::pid() const noexcept { return native_->pid; }

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
    auto& n = *native_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        auto eol = n.buffer.find('\n');
        if (eol != std::string::npos) {
            std::string line = n.buffer.substr(0, eol);
            n.buffer.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (n.stdout_ended || !n.stdout_read) return std::nullopt;

        // Anonymous pipes cannot be waited on; look, and read only what is
        // there so that ReadFile never blocks past the deadline.
        DWORD available = 0;
        if (!PeekNamedPipe(n.stdout_read.get(), nullptr, 0, nullptr, &available, nullptr)) {
            n.stdout_ended = true;  // the child's end is closed
            continue;
        }
        if (available == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(pause);
            pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
            continue;
        }
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(n.stdout_read.get(), chunk, std::min<DWORD>(available, sizeof chunk), &got, nullptr) ||
            got == 0) {
            n.stdout_ended = true;
            continue;
        }
        n.buffer.append(chunk, got);
        pause = std::chrono::microseconds(200);
    }
}

bool ChildProcess::write_line(std::string_view line) {
    auto& n = *native_;
    if (!n.stdin_write) return false;
    std::string data(line);
    data.push_back('\n');
    size_t done = 0;
    while (done < data.size()) {
        DWORD wrote = 0;
        if (!WriteFile(n.stdin_write.get(), data.data() + done, static_cast<DWORD>(data.size() - done), &wrote,
                       nullptr))
            return false;
        done += wrote;
    }
    return true;
}

void ChildProcess::close_stdin() noexcept { native_->stdin_write.reset(); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    auto& n = *native_;
    if (WaitForSingleObject(n.process.get(), to_wait_ms(timeout)) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(n.process.get(), &code)) return -1;
    return static_cast<int>(code);
}

void ChildProcess::kill() noexcept {
    auto& n = *native_;
    if (!running()) return;
    if (!n.job || !TerminateJobObject(n.job.get(), KILLED_EXIT_CODE))
        TerminateProcess(n.process.get(), KILLED_EXIT_CODE);
    WaitForSingleObject(n.process.get(), INFINITE);
}

bool ChildProcess::running() const noexcept {
    return native_->process && WaitForSingleObject(native_->process.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace tarnvel::test
