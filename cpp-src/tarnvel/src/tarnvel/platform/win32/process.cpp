#include "../platform.hpp"

#include <windows.h>

namespace tarnvel::platform {

uint32_t current_process_id() {
    return GetCurrentProcessId();
}

// Windows has no fork().
void at_fork_in_child(void (*)() noexcept) {}

// The kernel deletes a named object with its last handle, dead processes
// included, so nothing is ever left behind to sweep.
void sweep_leftovers() noexcept {}

}  // namespace tarnvel::platform
