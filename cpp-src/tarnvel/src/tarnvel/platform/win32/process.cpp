#include "platform/platform.hpp"

#include <windows.h>

namespace tarnvel::platform {

uint32_t current_process_id() { return GetCurrentProcessId(); }

bool process_exists(uint32_t pid) noexcept {
    if (pid == 0) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // denied: it exists
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) == 0 || code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

// Windows has no fork().
void at_fork_in_child(void (*)() noexcept) {}

// The kernel deletes a named object with its last handle, dead processes
// included, so nothing is ever left behind to sweep.
void sweep_leftovers() noexcept {}

}  // namespace tarnvel::platform
