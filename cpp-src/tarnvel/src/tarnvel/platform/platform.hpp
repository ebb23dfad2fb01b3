// The only door to the operating system. Everything above this header is the
// same on every platform; linux/ and win32/ each implement it once, beside the
// few files of this folder that both share.
//
// Contracts both implementations keep:
// - Objects are named by 8-bit strings; kinds (mutex, mapping, event) never
//   collide with each other.
// - An object exists while any process holds a handle to it; a process that
//   dies (even killed) releases its handles. Afterwards opening by name fails
//   and creating makes a fresh, zero-filled object.
#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::platform {

// The calling process's id. Cheap; correct in a child after fork().
uint32_t current_process_id();

// False only when no process `pid` exists now (it ended, or never was). A
// reused id reads as alive: callers treat "alive" as "not proven gone".
bool process_exists(uint32_t pid) noexcept;

// Has `reset` run in every child that fork() makes from now on, on the
// child's only thread before fork() returns there: for process-local state
// that another thread of the parent may have held locked, or half-changed,
// at the fork. `reset` must not lock, allocate or free. A few may be
// registered; nothing runs where there is no fork().
void at_fork_in_child(void (*reset)() noexcept);

// Sleeping on a 32-bit word in shared memory, woken by a thread of any
// process that maps the same object. Where the platform has no such wait
// (shared_word_waits() false), waiting returns at once and waking does
// nothing, so callers offer it only where it exists.
bool shared_word_waits() noexcept;
// Sleeps while `*word` holds `expected`; returns when woken, when the word
// differs (at once), at `until`, on a signal, or spuriously: callers check
// again.
void wait_shared_word(
    uint32_t* word, uint32_t expected,
    std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max()) noexcept;
// Wakes every thread sleeping on `word`.
void wake_shared_word(uint32_t* word) noexcept;

// Cross-process mutex shared by every node of a system. Excludes every thread
// of every process; if its holder dies while holding it, the next locker
// acquires it. Satisfies BasicLockable.
class NamedMutex {
public:
    // Creates or opens the mutex; throws std::runtime_error("CreateMutex failed").
    static NamedMutex create(const std::string& name);

    NamedMutex(NamedMutex&&) noexcept;
    NamedMutex& operator=(NamedMutex&&) noexcept;
    ~NamedMutex();

    void lock();
    // Like lock(), but gives up once `limit` has passed: false then, and the
    // mutex is not held. A holder that died counts as gone at once.
    bool try_lock_for(std::chrono::milliseconds limit);
    void unlock();

    // After fork(): drop the inherited handle without touching the object or
    // any lock shared with the parent.
    void abandon() noexcept;

    struct Native;

private:
    explicit NamedMutex(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

// A named shared-memory mapping created (or opened, when it exists) by its
// owner. A new mapping is exactly `size` bytes and zero-filled.
class SharedMapping {
public:
    // `role` names the mapping in its errors ("book", "mailbox"): throws
    // "CreateFileMapping <role> failed" when the object cannot be created or
    // opened, "MapViewOfFile <role> failed" when it cannot be mapped, which
    // includes an existing object smaller than size.
    static SharedMapping create(const std::string& name, uint64_t size, std::string_view role);

    SharedMapping(SharedMapping&&) noexcept;
    SharedMapping& operator=(SharedMapping&&) noexcept;
    ~SharedMapping();

    uint8_t* view() const noexcept;
    uint64_t size() const noexcept;  // the size that was requested

    void abandon() noexcept;  // see NamedMutex::abandon

    struct Native;

private:
    explicit SharedMapping(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

// Why another node's mailbox could not be opened.
enum class OpenFailure {
    // No live object has that name: its owner has gone.
    gone,
    // Trouble on this side (descriptors or memory exhausted, a lock held for
    // too long): it says nothing about the peer.
    local,
};

// The node's own manual-reset event, named mailbox_name + "_e", waited on
// asynchronously on the node's io_context. A set that happens after a reset
// always completes the next wait.
class MailboxEvent {
public:
    // Creates or opens the event; throws std::runtime_error("CreateEvent failed").
    MailboxEvent(boost::asio::io_context& io, const std::string& mailbox_name);
    ~MailboxEvent();  // cancels, then closes the handle

    // A moved-from event is empty: destroying or cancelling it does nothing.
    // Assigning over an event cancels and closes it first.
    MailboxEvent(MailboxEvent&&) noexcept;
    MailboxEvent& operator=(MailboxEvent&&) noexcept;
    MailboxEvent(const MailboxEvent&) = delete;
    MailboxEvent& operator=(const MailboxEvent&) = delete;

    // Once the event is set, resets it and then calls `on_signalled` on the
    // io thread, but only if the wait ended without error and cancel() has
    // not been called. So whatever a setter did before a set that the reset
    // took away is visible to `on_signalled`, and a later set completes the
    // next wait. (Resetting as part of the wait saves the reset its own trip
    // to the system.)
    void async_wait(std::function<void()> on_signalled);

    // Idempotent. A pending wait ends without calling its function. Safe to
    // call from any thread.
    void cancel() noexcept;

    void abandon() noexcept;  // see NamedMutex::abandon

    struct Native;

private:
    std::unique_ptr<Native> native_;
};

// Another node's mailbox and event, kept for as many messages as this
// platform allows without changing what anyone else observes: a link never
// keeps the peer's objects alive or openable by name for others, and it
// notices when their owner has died or closed its node.
class PeerLink {
public:
    // The ordinary open by name, whose failure is the judgement that the peer
    // is gone (or, for OpenFailure::local, that this side is in trouble).
    // `owner_pid` is the process that owns the mailbox.
    static std::optional<PeerLink> open(const std::string& mailbox_name, uint32_t owner_pid, OpenFailure& why) noexcept;

    PeerLink(PeerLink&&) noexcept;
    PeerLink& operator=(PeerLink&&) noexcept;
    ~PeerLink();

    // Whether it may be kept for a later message at all.
    bool keepable() const noexcept;
    // A cheap check before a later message: true while the owner is alive
    // and still holds this very mailbox under its name. Any doubt is false;
    // the caller then drops the link and opens afresh. A link that a
    // LinkWatch watches only reads what the watch has found; any other asks
    // the system.
    bool current() noexcept;

    uint8_t* view() const noexcept;
    // Bytes that may be accessed from view(); 0 when unknown, and then no
    // sender writes to it.
    uint64_t size() const noexcept;

    // Sets the owner's event. Never blocks, never throws; a missing event is
    // ignored.
    void signal() noexcept;

    // For a link that is to be kept: enters the mailbox's pages in this
    // process's page table now, so that the first write to each faults no
    // more. A hint; it makes no pages the owner has not made, and does
    // nothing where it cannot help.
    void enter_pages() noexcept;

    struct Native;

private:
    friend class LinkWatch;
    explicit PeerLink(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

// Watches the kept links of one node on its io loop, so that checking a link
// before a message costs no system call: a link whose owner's process ends,
// or whose owner removes its mailbox or event from their names, is marked
// there and is no longer current. One watch per node, whatever the number of
// links (on Linux one inotify instance, and a pidfd per link).
class LinkWatch {
public:
    // Told, on the io thread, that the owner of a watched link has ended.
    using OwnerGone = std::function<void(uint32_t pid)>;

    // Never throws for want of a watch: a node without one keeps its links
    // checking themselves.
    LinkWatch(boost::asio::io_context& io, OwnerGone on_gone);
    ~LinkWatch();
    LinkWatch(const LinkWatch&) = delete;
    LinkWatch& operator=(const LinkWatch&) = delete;

    // io thread: watches `link` from now on, which belongs to process
    // `owner`. False when it cannot be watched here; the link then keeps
    // checking itself before each message. `owner_marks_removal`: the owner
    // makes its mailbox refuse messages before it removes anything, so the
    // next message to it finds out without the watch.
    bool watch(PeerLink& link, uint32_t owner, bool owner_marks_removal) noexcept;
    // io thread: takes in what the system has noted about the watched links
    // up to now (one system call; none while every watched owner marks its
    // removal). Anything an owner removed before it wrote a message is seen
    // once this has run after the message was read.
    void refresh() noexcept;
    // Once the io thread has ended.
    void stop() noexcept;

    struct Native;

private:
    std::unique_ptr<Native> native_;
};

// A watch on the end of another process, on the node's io_context: for
// ending at once what waits on a peer that died, instead of at its time
// limit.
class ProcessWatch {
public:
    // Watches process `pid`; the watch reports at once when no such process
    // exists. Nothing when it cannot be watched here (an old kernel, out of
    // descriptors or handles): the caller then learns of the death otherwise.
    // A process id is reused once its process is gone, so start the watch
    // while something else proves the process meant still alive (its objects
    // still held), or check that afterwards.
    static std::optional<ProcessWatch> start(boost::asio::io_context& io, uint32_t pid);

    ~ProcessWatch();  // cancels
    // A moved-from watch is empty: waiting on or cancelling it does nothing.
    ProcessWatch(ProcessWatch&&) noexcept;
    ProcessWatch& operator=(ProcessWatch&&) = delete;
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    // Calls `on_exit` on the io thread once the process has ended, unless
    // cancel() comes first. One wait at a time.
    void async_wait(std::function<void()> on_exit);

    // Idempotent. A pending wait ends without calling its function. Safe to
    // call from any thread.
    void cancel() noexcept;

    struct Native;

private:
    explicit ProcessWatch(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

// Removes leftovers of dead processes (objects nobody holds) so that they do
// not pile up. Never throws.
void sweep_leftovers() noexcept;

// The kinds of named object, for looking at what exists from outside.
enum class ObjectType { mutex, mapping, event };

// A named object found on the machine.
struct PresentObject {
    // The object's name, decoded from the platform's name for it. Where that
    // was cut (Linux: file names longer than 255 bytes), only its start.
    std::string name;
    bool cut = false;
    // The platform's own name for it and where it can be looked at (Linux:
    // its file in the object directory, and that file's path).
    std::string platform_name;
    std::string location;
};

// The tarnvel objects of that type present now, found without opening any of
// them, in no particular order. Leftovers of dead processes are listed until
// a sweep removes them. Empty where the platform offers no listing.
std::vector<PresentObject> list_objects(ObjectType type);

// A copy of the first `size` bytes of the live mapping of that name, read
// without creating it, without locking it and without counting as one of its
// holders; nothing when no live object has the name or it is smaller.
std::optional<std::vector<uint8_t>> read_mapping(const std::string& name, std::size_t size);

}  // namespace tarnvel::platform
