// A section (file mapping) of Windows and a view of it, released together,
// and the named objects that a peer opens by name.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.hpp"

namespace tarnvel::platform::detail {

class MappedSection {
public:
    MappedSection() noexcept = default;
    // Takes both: the view is unmapped and the handle closed with this.
    MappedSection(HANDLE mapping, void* view, uint64_t size) noexcept
        : mapping_(mapping), view_(static_cast<uint8_t*>(view)), size_(size) {}
    MappedSection(MappedSection&& other) noexcept;
    MappedSection& operator=(MappedSection&& other) noexcept;
    MappedSection(const MappedSection&) = delete;
    MappedSection& operator=(const MappedSection&) = delete;
    ~MappedSection() { release(); }

    uint8_t* view() const noexcept { return view_; }
    uint64_t size() const noexcept { return size_; }

private:
    void release() noexcept;

    HANDLE mapping_ = nullptr;
    uint8_t* view_ = nullptr;
    uint64_t size_ = 0;
};

// Opens a live section by name and maps all of it; its size is the view's
// region, rounded up to whole pages. Nothing, with `why`, on failure.
std::optional<MappedSection> open_section(const std::string& name, OpenFailure& why) noexcept;

// Sets the event of the mailbox with that name. Never blocks, never throws; a
// missing event is ignored.
void set_mailbox_event(const std::string& mailbox_name) noexcept;

}  // namespace tarnvel::platform::detail
