// A peer's mailbox and event kept between messages.
//
// The link claims nothing: its descriptors hold no flock, so they never
// count as holders. The owner's release still finds itself the last holder
// and removes the names, a dead owner's objects are still leftovers that
// the next opener removes, and a re-created node gets fresh objects.
//
// An owner that closes its node takes its mailbox's magic away first, so the
// sender's next append finds a bad header and drops the link. Whether the
// owner's process is alive, and whether it removed its mailbox or event
// without touching the magic (a peer written from the formats alone does),
// is watched on the io loop by the node's LinkWatch, which marks the link;
// checking it before a message then reads that mark and asks the system
// nothing. A link nobody watches (where the node has no inotify instance to
// be had) asks for itself before each message: a pidfd tells whether the
// owner lives, and cannot be confused by a reused process id (where there is
// none, a non-blocking exclusive flock on the mailbox asks whether anyone
// still holds it), and the link counts of its objects tell whether they are
// still under their names. Any doubt
// drops the link, and the ordinary open by name judges again.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "platform/linux/event_fifo.hpp"
#include "platform/linux/object_lifetime.hpp"
#include "platform/linux/peer_link.hpp"
#include "platform/platform.hpp"

namespace tarnvel::platform {

using detail::ObjectFd;

namespace {

ObjectFd open_pidfd(uint32_t pid) noexcept {
#ifdef SYS_pidfd_open
    if (pid == 0 || pid > static_cast<uint32_t>(std::numeric_limits<pid_t>::max())) {
        return ObjectFd();
    }
    return ObjectFd::make([pid] { return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)); });
#else
    (void)pid;
    return ObjectFd();
#endif
}

bool removed(int fd) noexcept {
    struct stat st {};
    return ::fstat(fd, &st) != 0 || st.st_nlink == 0;
}

// True while somebody (the owner, above all) holds the object's shared flock.
bool held_by_someone(int fd) noexcept {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

// Whether the pidfd reports its process ended; an error counts as ended.
bool exited(int pidfd) noexcept {
    pollfd fd{pidfd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&fd, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n != 0;
}

}  // namespace

PeerLink::PeerLink(std::unique_ptr<Native> native) : native_(std::move(native)) {}
PeerLink::PeerLink(PeerLink&&) noexcept = default;
PeerLink& PeerLink::operator=(PeerLink&&) noexcept = default;
PeerLink::~PeerLink() = default;

std::optional<PeerLink> PeerLink::open(const std::string& mailbox_name, uint32_t owner_pid, OpenFailure& why) noexcept {
    try {
        auto opened = detail::open_mapping(mailbox_name, why);
        if (!opened) {
            return std::nullopt;
        }
        auto native = std::make_unique<Native>();
        native->view = std::move(opened->view);
        // The pidfd is taken while our flock still proves the owner alive, so
        // it cannot name a later process that was given the same id.
        native->owner = open_pidfd(owner_pid);
        native->event = detail::open_event_for_setting(mailbox_name);
        native->mailbox = opened->object.give_up_claim();
        native->mailbox_name = mailbox_name;
        return PeerLink(std::move(native));
    } catch (...) {
        why = OpenFailure::local;
        return std::nullopt;
    }
}

bool PeerLink::keepable() const noexcept { return true; }

bool PeerLink::current() noexcept {
    if (!native_ || native_->mailbox.get() < 0 || native_->view.data() == nullptr) {
        return false;  // empty, or dropped in a fork child
    }
    if (native_->stale) {
        return !native_->stale->load(std::memory_order_acquire);
    }
    if (native_->event.get() < 0) {
        // An owner between creating its mailbox and its event, or one without
        // an event at all: whoever holds the mailbox keeps it alive.
        native_->event = detail::open_event_for_setting(native_->mailbox_name);
        if (native_->event.get() < 0) {
            return held_by_someone(native_->mailbox.get()) && !removed(native_->mailbox.get());
        }
    }
    if (removed(native_->event.get()) || removed(native_->mailbox.get())) {
        return false;
    }
    const int pidfd = native_->owner.get();
    return pidfd >= 0 ? !exited(pidfd) : held_by_someone(native_->mailbox.get());
}

uint8_t* PeerLink::view() const noexcept { return native_ ? native_->view.data() : nullptr; }

uint64_t PeerLink::size() const noexcept { return native_ ? native_->view.size() : 0; }

namespace {

// The largest mailbox whose pages enter_pages() enters: about 0.3 ms per
// 4 MiB, in the way of the first message.
constexpr uint64_t PAGES_ENTERED_UP_TO = uint64_t{16} << 20;

}  // namespace

void PeerLink::enter_pages() noexcept {
    if (!native_ || native_->view.data() == nullptr || native_->view.size() > PAGES_ENTERED_UP_TO) {
        return;
    }
    // On a virtual machine each first write to a page of this mapping
    // faulted, some 10 us: a 4 KiB round trip took about 30 us instead of 17
    // until the sender had written the whole ring once. Only where the owner
    // made every page: entering a hole would make it, charged to this process.
#ifdef MADV_POPULATE_WRITE
    struct stat st {};
    if (::fstat(native_->mailbox.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) != native_->view.size() ||
        static_cast<uint64_t>(st.st_blocks) * 512 < native_->view.size()) {
        return;
    }
    // Fails (EINVAL) on kernels before 5.14, and (EFAULT) for pages the owner
    // has cut off meanwhile: a hint either way.
    (void)::madvise(native_->view.data(), native_->view.size(), MADV_POPULATE_WRITE);
#endif
}

void PeerLink::signal() noexcept {
    if (!native_) {
        return;
    }
    if (native_->event.get() < 0) {
        native_->event = detail::open_event_for_setting(native_->mailbox_name);
    }
    if (native_->event.get() >= 0) {
        detail::write_signal_byte(native_->event.get());
    }
}

}  // namespace tarnvel::platform
