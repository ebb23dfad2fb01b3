#include "../platform.hpp"
#include "tarnvel/tarnvel.hpp"

#include <windows.h>

#include <stdexcept>

namespace tarnvel::platform {

// A view is requested at the full 64-bit size; only the section size is cut
// to its low 32 bits.
static_assert(sizeof(SIZE_T) >= sizeof(uint64_t), "64-bit Windows only");

namespace {

void release(HANDLE mapping, void* view) noexcept {
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
}

}  // namespace

struct SharedMapping::Native {
    HANDLE mapping;
    uint8_t* view;
    uint64_t size;
};

SharedMapping SharedMapping::create(const std::string& name, uint64_t size, MappingPurpose purpose) {
    const bool book = purpose == MappingPurpose::book;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size), name.c_str());
    if (mapping == nullptr) {
        throw Error(ErrorKind::os_failure, book ? "CreateFileMapping book failed"
                                      : "CreateFileMapping mailbox failed");
    }
    // An existing section smaller than the size asked for makes this fail
    // rather than hand out a view that runs past the object's pages.
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(size));
    if (view == nullptr) {
        CloseHandle(mapping);
        throw Error(ErrorKind::os_failure, book ? "MapViewOfFile book failed" : "MapViewOfFile mailbox failed");
    }
    try {
        return SharedMapping(
            std::make_unique<Native>(Native{mapping, static_cast<uint8_t*>(view), size}));
    } catch (...) {
        release(mapping, view);
        throw;
    }
}

SharedMapping::SharedMapping(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SharedMapping::SharedMapping(SharedMapping&&) noexcept = default;

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
    if (this != &other) {
        if (native_) {
            release(native_->mapping, native_->view);
        }
        native_ = std::move(other.native_);
    }
    return *this;
}

SharedMapping::~SharedMapping() {
    if (native_) {
        release(native_->mapping, native_->view);
    }
}

uint8_t* SharedMapping::view() const noexcept {
    return native_ ? native_->view : nullptr;
}

uint64_t SharedMapping::size() const noexcept {
    return native_ ? native_->size : 0;
}

// Windows has no fork(), so there is never an inherited view to drop.
void SharedMapping::abandon() noexcept {}

struct PeerMailbox::Native {
    HANDLE mapping;
    uint8_t* view;
    uint64_t size;
    std::string name;
};

std::optional<PeerMailbox> PeerMailbox::open(const std::string& mailbox_name, OpenFailure* why) noexcept {
    const auto fail = [why](OpenFailure failure) -> std::optional<PeerMailbox> {
        if (why != nullptr) {
            *why = failure;
        }
        return std::nullopt;
    };
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, mailbox_name.c_str());
    if (mapping == nullptr) {
        // Only a missing name proves the owner gone; running out of handles
        // or memory is this process's trouble.
        const DWORD error = GetLastError();
        return fail(error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_NAME ? OpenFailure::gone
                                                                                  : OpenFailure::local);
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) {
        CloseHandle(mapping);
        return fail(OpenFailure::local);
    }
    // The section's own size is not exposed; the view's region is, rounded up
    // to whole pages, all of which may be touched.
    MEMORY_BASIC_INFORMATION info{};
    const uint64_t size = VirtualQuery(view, &info, sizeof info) != 0 ? info.RegionSize : 0;
    try {
        return PeerMailbox(std::make_unique<Native>(
            Native{mapping, static_cast<uint8_t*>(view), size, mailbox_name}));
    } catch (...) {
        release(mapping, view);
        return fail(OpenFailure::local);
    }
}

PeerMailbox::PeerMailbox(std::unique_ptr<Native> native) : native_(std::move(native)) {}
PeerMailbox::PeerMailbox(PeerMailbox&&) noexcept = default;

PeerMailbox& PeerMailbox::operator=(PeerMailbox&& other) noexcept {
    if (this != &other) {
        if (native_) {
            release(native_->mapping, native_->view);
        }
        native_ = std::move(other.native_);
    }
    return *this;
}

PeerMailbox::~PeerMailbox() {
    if (native_) {
        release(native_->mapping, native_->view);
    }
}

uint8_t* PeerMailbox::view() const noexcept {
    return native_ ? native_->view : nullptr;
}

uint64_t PeerMailbox::size() const noexcept {
    return native_ ? native_->size : 0;
}

const std::string& PeerMailbox::name() const noexcept {
    static const std::string none;
    return native_ ? native_->name : none;
}

}  // namespace tarnvel::platform
