// The node's one watch on its kept links, on the io loop.
//
// One inotify instance per node watches the mailbox and the event behind
// every watched link (the very objects, through /proc/self/fd, not whatever
// their names lead to later): an owner that removes either from its name
// changes its link count, which the kernel notes at once, inside the unlink.
// A pidfd per link turns readable when its owner ends. Either marks the link
// stale, and its next check drops it. The kernel notes a removal before the
// remover can write its next message, so a refresh after reading a message
// sees every removal its sender made before it. An owner that takes its
// mailbox's magic away before it removes anything needs no refresh: the next
// append to it sees that for itself.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/linux/event_fifo.hpp"
#include "platform/linux/loop_descriptor.hpp"
#include "platform/linux/object_handles.hpp"
#include "platform/linux/peer_link.hpp"
#include "platform/platform.hpp"

namespace tarnvel::platform {

using detail::LoopDescriptor;
using detail::ObjectFd;

namespace {

constexpr uint32_t WATCHED_CHANGES = IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

int watch_object(int inotify, int fd) noexcept {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return ::inotify_add_watch(inotify, path, WATCHED_CHANGES);
}

bool removed(int fd) noexcept {
    struct stat st {};
    return ::fstat(fd, &st) != 0 || st.st_nlink == 0;
}

}  // namespace

struct LinkWatch::Native {
    struct Entry {
        std::shared_ptr<std::atomic<bool>> stale;
        uint32_t pid = 0;
        bool marks_removal = false;
        int mailbox_wd = -1;
        int event_wd = -1;
        ObjectFd pidfd;  // our own duplicate of the link's
        std::unique_ptr<LoopDescriptor> exit;
    };

    Native(boost::asio::io_context& io_context, OwnerGone gone)
        : io(io_context),
          on_gone(std::move(gone)),
          inotify(ObjectFd::make([] { return ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC); })),
          changes(io_context, inotify.get()) {}

    ~Native() {
        for (auto& entry : entries) {
            if (entry->exit) entry->exit->cancel();
        }
        changes.cancel();
    }

    // Takes in every change the kernel has queued; marks their links.
    void read_changes() noexcept {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(inotify.get(), buffer, sizeof buffer);
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                return;
            }
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
                for (auto& entry : entries) {
                    // A lost change could be anyone's.
                    const bool mine = (event.mask & IN_Q_OVERFLOW) != 0 || entry->mailbox_wd == event.wd ||
                                      entry->event_wd == event.wd;
                    if (!mine) continue;
                    entry->stale->store(true, std::memory_order_release);
                    if ((event.mask & IN_IGNORED) != 0) {
                        // The kernel let this number go and may give it out again.
                        if (entry->mailbox_wd == event.wd) entry->mailbox_wd = -1;
                        if (entry->event_wd == event.wd) entry->event_wd = -1;
                    }
                }
            }
        }
    }

    void arm_changes() {
        changes.arm(
            [](auto& descriptor, auto completion) {
                descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read, std::move(completion));
            },
            [this] {
                read_changes();
                arm_changes();
            });
    }

    bool in_use(int wd) const noexcept {
        return wd >= 0 && std::any_of(entries.begin(), entries.end(),
                                      [wd](const auto& e) { return e->mailbox_wd == wd || e->event_wd == wd; });
    }

    void unwatch(int wd) noexcept {
        if (wd >= 0 && !in_use(wd)) ::inotify_rm_watch(inotify.get(), wd);
    }

    // Lets go of the entries whose links are gone.
    void collect() noexcept {
        for (size_t i = 0; i < entries.size();) {
            if (entries[i]->stale.use_count() > 1) {
                ++i;
                continue;
            }
            std::unique_ptr<Entry> entry = std::move(entries[i]);
            entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
            if (entry->exit) entry->exit->cancel();
            unwatch(entry->mailbox_wd);
            unwatch(entry->event_wd);
        }
    }

    boost::asio::io_context& io;
    OwnerGone on_gone;
    ObjectFd inotify;
    LoopDescriptor changes;  // borrows inotify
    bool armed = false;
    std::vector<std::unique_ptr<Entry>> entries;
};

LinkWatch::LinkWatch(boost::asio::io_context& io, OwnerGone on_gone) {
    try {
        native_ = std::make_unique<Native>(io, std::move(on_gone));
        if (native_->inotify.get() < 0) native_.reset();  // the per-user limit, say
    } catch (...) {
        native_.reset();
    }
}

LinkWatch::~LinkWatch() {
    if (native_ && native_->inotify.dropped()) {
        // Inherited through fork(): its descriptors are registered with the
        // epoll instance the child shares with its parent. Leaked on purpose.
        static_cast<void>(native_.release());
    }
}

bool LinkWatch::watch(PeerLink& link, uint32_t owner, bool owner_marks_removal) noexcept {
    PeerLink::Native* peer = link.native_.get();
    if (!native_ || peer == nullptr) return false;
    if (peer->stale) return true;
    if (peer->owner.get() < 0 || peer->mailbox.get() < 0) return false;
    if (peer->event.get() < 0) {
        peer->event = detail::open_event_for_setting(peer->mailbox_name);
        if (peer->event.get() < 0) return false;
    }
    Native& n = *native_;
    n.collect();
    try {
        auto entry = std::make_unique<Native::Entry>();
        entry->stale = std::make_shared<std::atomic<bool>>(false);
        entry->pid = owner;
        entry->marks_removal = owner_marks_removal;
        entry->pidfd = ObjectFd::make([&] { return ::fcntl(peer->owner.get(), F_DUPFD_CLOEXEC, 0); });
        if (entry->pidfd.get() < 0) return false;
        entry->mailbox_wd = watch_object(n.inotify.get(), peer->mailbox.get());
        entry->event_wd = entry->mailbox_wd >= 0 ? watch_object(n.inotify.get(), peer->event.get()) : -1;
        if (entry->event_wd < 0) {
            n.unwatch(entry->mailbox_wd);
            return false;
        }
        entry->exit = std::make_unique<LoopDescriptor>(n.io, entry->pidfd.get());
        // Removed before the watch was set: the watch will never say so.
        if (removed(peer->mailbox.get()) || removed(peer->event.get())) entry->stale->store(true);
        entry->exit->arm_until_readable(
            // Weakly: a strong copy here would keep the entry in use for as
            // long as the owner lives, and collect() would never let go of
            // it or of its descriptors.
            [&n, weak = std::weak_ptr<std::atomic<bool>>(entry->stale), owner] {
                if (auto stale = weak.lock()) stale->store(true, std::memory_order_release);
                try {
                    if (n.on_gone) n.on_gone(owner);
                } catch (...) {
                }
            });
        if (!n.armed) {
            n.arm_changes();
            n.armed = true;
        }
        peer->stale = entry->stale;
        n.entries.push_back(std::move(entry));
        return true;
    } catch (...) {
        return false;
    }
}

void LinkWatch::refresh() noexcept {
    if (!native_) return;
    // The io loop reads the changes anyway whenever there are some; the read
    // here only makes sure of them now, which only links to owners that do
    // not mark their removal need. Those dropped wait for collect().
    const bool needed = std::any_of(native_->entries.begin(), native_->entries.end(), [](const auto& e) {
        return !e->marks_removal && e->stale.use_count() > 1 && !e->stale->load(std::memory_order_relaxed);
    });
    if (needed) native_->read_changes();
}

void LinkWatch::stop() noexcept {
    if (!native_ || native_->inotify.dropped()) return;
    for (auto& entry : native_->entries) {
        if (entry->exit) entry->exit->cancel();
    }
    native_->changes.cancel();
}

}  // namespace tarnvel::platform
