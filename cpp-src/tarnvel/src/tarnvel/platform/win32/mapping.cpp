#include "platform/mapping_errors.hpp"
#include "platform/platform.hpp"
#include "platform/win32/section.hpp"

#include <windows.h>

#include <utility>

namespace tarnvel::platform {

// A view is requested at the full 64-bit size; only the section size is cut
// to its low 32 bits.
static_assert(sizeof(SIZE_T) >= sizeof(uint64_t), "64-bit Windows only");

namespace detail {

MappedSection::MappedSection(MappedSection&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)),
      view_(std::exchange(other.view_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedSection& MappedSection::operator=(MappedSection&& other) noexcept {
    if (this != &other) {
        release();
        mapping_ = std::exchange(other.mapping_, nullptr);
        view_ = std::exchange(other.view_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void MappedSection::release() noexcept {
    if (view_ != nullptr) {
        UnmapViewOfFile(view_);
    }
    if (mapping_ != nullptr) {
        CloseHandle(mapping_);
    }
    mapping_ = nullptr;
    view_ = nullptr;
    size_ = 0;
}

std::optional<MappedSection> open_section(const std::string& name, OpenFailure& why) noexcept {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    if (mapping == nullptr) {
        // Only a missing name proves the owner gone; running out of handles
        // or memory is this process's trouble.
        const DWORD error = GetLastError();
        why = error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_NAME ? OpenFailure::gone : OpenFailure::local;
        return std::nullopt;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) {
        CloseHandle(mapping);
        why = OpenFailure::local;
        return std::nullopt;
    }
    // The section's own size is not exposed; the view's region is, rounded up
    // to whole pages, all of which may be touched.
    MEMORY_BASIC_INFORMATION info{};
    const uint64_t size = VirtualQuery(view, &info, sizeof info) != 0 ? info.RegionSize : 0;
    return MappedSection(mapping, view, size);
}

}  // namespace detail

struct SharedMapping::Native {
    detail::MappedSection section;
};

SharedMapping SharedMapping::create(const std::string& name, uint64_t size, std::string_view role) {
    // The high word too: with its wake area behind the ring, the largest
    // mailbox passes 4 GiB.
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size), name.c_str());
    if (mapping == nullptr) {
        detail::throw_create_failed(role);
    }
    // An existing section smaller than the size asked for makes this fail
    // rather than hand out a view that runs past the object's pages.
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(size));
    if (view == nullptr) {
        CloseHandle(mapping);
        detail::throw_map_failed(role);
    }
    detail::MappedSection section(mapping, view, size);
    return SharedMapping(std::make_unique<Native>(Native{std::move(section)}));
}

SharedMapping::SharedMapping(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SharedMapping::SharedMapping(SharedMapping&&) noexcept = default;
SharedMapping& SharedMapping::operator=(SharedMapping&&) noexcept = default;
SharedMapping::~SharedMapping() = default;

uint8_t* SharedMapping::view() const noexcept { return native_ ? native_->section.view() : nullptr; }

uint64_t SharedMapping::size() const noexcept { return native_ ? native_->section.size() : 0; }

// Windows has no fork(), so there is never an inherited view to drop.
void SharedMapping::abandon() noexcept {}

}  // namespace tarnvel::platform
