#include "platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

namespace tarnvel::platform {

struct NamedMutex::Native {
    HANDLE handle;
};

NamedMutex NamedMutex::create(const std::string& name) {
    HANDLE handle = CreateMutexA(nullptr, FALSE, name.c_str());
    if (handle == nullptr) {
        throw Error(ErrorKind::os_failure, "CreateMutex failed");
    }
    try {
        return NamedMutex(std::make_unique<Native>(Native{handle}));
    } catch (...) {
        CloseHandle(handle);
        throw;
    }
}

NamedMutex::NamedMutex(std::unique_ptr<Native> native) : native_(std::move(native)) {}
NamedMutex::NamedMutex(NamedMutex&&) noexcept = default;

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
    if (this != &other) {
        if (native_) {
            CloseHandle(native_->handle);
        }
        native_ = std::move(other.native_);
    }
    return *this;
}

NamedMutex::~NamedMutex() {
    if (native_) {
        CloseHandle(native_->handle);
    }
}

void NamedMutex::lock() {
    // WAIT_ABANDONED also grants ownership: a holder that died leaves the
    // book as it was, and the next node goes on with it.
    WaitForSingleObject(native_->handle, INFINITE);
}

bool NamedMutex::try_lock_for(std::chrono::milliseconds limit) {
    // Rounded into what a wait takes, short of INFINITE.
    const auto ms = std::clamp<std::chrono::milliseconds::rep>(limit.count(), 0, INFINITE - 1);
    const DWORD result = WaitForSingleObject(native_->handle, static_cast<DWORD>(ms));
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void NamedMutex::unlock() { ReleaseMutex(native_->handle); }

// Windows has no fork(), so there is never an inherited handle to drop.
void NamedMutex::abandon() noexcept {}

}  // namespace tarnvel::platform
