// A peer's mailbox and event kept between messages.
//
// The link claims nothing: its descriptors hold no flock, so they never
// count as holders. The owner's release still finds itself the last holder
// and removes the names, a dead owner's objects are still leftovers that
// the next opener removes, and a re-created node gets fresh objects.
//
// Before each message the link asks whether the owner's process is alive: a
// pidfd tells, and cannot be confused by a reused process id; where there is
// none, a non-blocking exclusive flock on the mailbox asks whether anyone
// still holds it. An owner that closes its node takes its mailbox's magic
// away first, so the sender's next append finds a bad header and drops the
// link. An owner may also remove its mailbox and event without touching the
// magic (a peer written from the formats alone does): an inotify watch on
// both objects hears of that, and the same poll that asks the pidfd asks the
// watch, so the check costs no extra system call. The kernel queues the
// event within the owner's unlink, so a removal done before the owner's last
// message is seen before our next. Where no watch can be set, the event's
// link count is checked now and then instead (and always while the owner has
// no event). Any doubt drops the link, and the ordinary open by name judges
// again.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <utility>

#include "platform/linux/event_fifo.hpp"
#include "platform/linux/object_lifetime.hpp"
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

// Asks the (up to two) descriptors at once whether they are readable: an
// exited process, a change heard by the watch. Any error counts as both.
void readable(int pidfd, int watch, bool& exited, bool& changed) noexcept {
    pollfd fds[2] = {{pidfd, POLLIN, 0}, {watch, POLLIN, 0}};
    pollfd* first = pidfd >= 0 ? &fds[0] : &fds[1];
    const nfds_t count = (pidfd >= 0 ? 1 : 0) + (watch >= 0 ? 1 : 0);
    int n;
    do {
        n = ::poll(first, count, 0);
    } while (n < 0 && errno == EINTR);
    exited = n < 0 || (pidfd >= 0 && fds[0].revents != 0);
    changed = n < 0 || (watch >= 0 && fds[1].revents != 0);
}

// Watches the very object behind `fd` (not whatever its name leads to
// later) for losing a link or being moved.
bool watch_object(int watch, int fd) noexcept {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return ::inotify_add_watch(watch, path, IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF) >= 0;
}

void drain_watch(int watch) noexcept {
    alignas(inotify_event) char buffer[4096];
    while (::read(watch, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

// How long a kept event goes without a check that it is still its owner's.
constexpr std::chrono::milliseconds EVENT_CHECK_PERIOD{50};

struct PeerLink::Native {
    ObjectFd mailbox;
    detail::MappedView view;
    ObjectFd event;  // empty while the owner has no event (yet)
    ObjectFd owner;  // pidfd; empty where there is none
    // inotify on the mailbox and the event; empty where none could be set.
    ObjectFd watch;
    bool event_watched = false;
    std::string mailbox_name;
    std::chrono::steady_clock::time_point event_checked;

    void watch_event() noexcept {
        if (watch.get() >= 0 && event.get() >= 0 && !event_watched) {
            event_watched = watch_object(watch.get(), event.get());
        }
    }
};

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
        native->event_checked = std::chrono::steady_clock::now();
        native->mailbox = opened->object.give_up_claim();
        native->mailbox_name = mailbox_name;
        native->watch = ObjectFd::make([] { return ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC); });
        if (native->watch.get() >= 0 && !watch_object(native->watch.get(), native->mailbox.get())) {
            native->watch = ObjectFd();
        }
        native->watch_event();
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
    if (native_->event.get() < 0) {
        // An owner between creating its mailbox and its event, or one without
        // an event at all: whoever holds the mailbox keeps it alive.
        native_->event = detail::open_event_for_setting(native_->mailbox_name);
        if (native_->event.get() < 0) {
            return held_by_someone(native_->mailbox.get()) && !removed(native_->mailbox.get());
        }
        native_->watch_event();
    }
    const int watch = native_->event_watched ? native_->watch.get() : -1;
    if (watch < 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now - native_->event_checked >= EVENT_CHECK_PERIOD) {
            if (removed(native_->event.get())) {
                return false;
            }
            native_->event_checked = now;
        }
    }
    const int pidfd = native_->owner.get();
    bool exited = false;
    bool changed = false;
    if (pidfd >= 0 || watch >= 0) {
        readable(pidfd, watch, exited, changed);
    }
    if (exited) {
        return false;
    }
    if (changed) {
        // Most often a removal; a mere change of attributes keeps the link.
        drain_watch(watch);
        if (removed(native_->event.get()) || removed(native_->mailbox.get())) {
            return false;
        }
    }
    return pidfd >= 0 || held_by_someone(native_->mailbox.get());
}

uint8_t* PeerLink::view() const noexcept { return native_ ? native_->view.data() : nullptr; }

uint64_t PeerLink::size() const noexcept { return native_ ? native_->view.size() : 0; }

void PeerLink::signal() noexcept {
    if (!native_) {
        return;
    }
    if (native_->event.get() < 0) {
        native_->event = detail::open_event_for_setting(native_->mailbox_name);
        native_->watch_event();
    }
    if (native_->event.get() >= 0) {
        detail::write_signal_byte(native_->event.get());
    }
}

}  // namespace tarnvel::platform
