// Public interface of the tarnvel node library: nodes that call each other's
// methods across the processes of one machine.
#pragma once

#include <boost/json/object.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnvel {

using Bytes = std::vector<uint8_t>;

// <windows.h> defines STATUS_TIMEOUT as a macro (0x102), which would replace
// the constant below and break its declaration. Where it came first, the
// macro is dropped for the rest of the translation unit, so that
// tarnvel::STATUS_TIMEOUT means 1 there; Windows code waiting on a handle has
// WAIT_TIMEOUT for the same value. Where it comes later, include this header
// after it or #undef STATUS_TIMEOUT before naming the constant.
#ifdef STATUS_TIMEOUT
#undef STATUS_TIMEOUT
#endif

// Every call ends with exactly one of these.
inline constexpr uint8_t STATUS_OK = 0;
inline constexpr uint8_t STATUS_TIMEOUT = 1;
inline constexpr uint8_t STATUS_EXEC_FAILED = 2;
inline constexpr uint8_t STATUS_DELIVER_FAILED = 3;

struct CallResult {
    uint8_t status = STATUS_OK;
    Bytes result;
    // With STATUS_DELIVER_FAILED sent by the peer: the size of its answer,
    // which this node's mailbox could not hold. 0 otherwise.
    uint64_t unfit_answer_bytes = 0;
    // The result's bytes went into memory that a Tarnvel::AnswerSpace gave,
    // and `result` is empty.
    bool result_in_space = false;
};

// Why a node refused an operation. Bindings and callers tell refusals apart
// by this, never by the message text.
enum class ErrorKind : uint8_t {
    closed,            // the node is closed (or was inherited by a fork)
    invalid_argument,  // a name or size the node cannot take
    directory_full,    // the system's book has no free slot
    os_failure,        // a shared object could not be made, opened or mapped
    already_joined,    // this process has a node in that system already
};

// What the node's operations throw when they refuse: a std::runtime_error
// whose message is one of the fixed texts ("Tarnvel is closed", "invalid node
// name", "directory full", "CreateMutex failed", ...), with its kind.
class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const char* message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

private:
    ErrorKind kind_;
};

// One occupied slot of the book.
struct NodeInfo {
    std::string node_name;
    uint32_t pid = 0;
    // Where the node receives; written out so that {name, pid} stays a
    // complete initializer.
    std::string mailbox_name{};
};

// Maps the argument bytes of a request to the result bytes; may throw, which
// ends the caller's call with STATUS_EXEC_FAILED.
using MethodHandler = std::function<Bytes(Bytes)>;

// Bytes that a call or an answer reads rather than takes: they must stay
// valid and unchanged until the call() or complete() given them returns.
// They are copied only when the message cannot be written at once (another
// thread is writing, messages wait ahead of it, its destination is to be
// opened, or its mailbox is full); otherwise the only copy made is the one
// into the destination's mailbox.
class BytesView {
public:
    explicit BytesView(std::span<const uint8_t> bytes) noexcept : bytes_(bytes) {}
    std::span<const uint8_t> bytes() const noexcept { return bytes_; }

private:
    std::span<const uint8_t> bytes_;
};

// The one answer to one request, for a handler that gives it later: once,
// from any thread. Copies share the answer: the first complete() or fail()
// gives it, later ones return false. When the last copy goes unanswered the
// caller's call ends with STATUS_EXEC_FAILED at once; an answer given after
// the node has closed is dropped.
class Reply {
public:
    Reply() = default;  // stands for no request: answers go nowhere

    // STATUS_OK with `result`.
    bool complete(Bytes result) const;
    bool complete(BytesView result) const;
    // STATUS_EXEC_FAILED.
    bool fail() const;
    bool answered() const noexcept;

    struct State;
    explicit Reply(std::shared_ptr<State> state) noexcept;

private:
    std::shared_ptr<State> state_;
};

// Receives the argument bytes and the request's Reply, which it answers
// before it returns or keeps to answer later. What it throws fails the reply
// unless it was answered already.
using DeferredHandler = std::function<void(Bytes, Reply)>;

// Receives the argument bytes and the request's Reply: the bytes where they
// lie in the node's mailbox, without a copy, unless the request had to be
// copied out (its argument lies across the end of the ring, or a thread
// waiting for its own call read it). It runs on the io thread whatever the
// worker count, before the mailbox is read further, so it must be quick and
// must not wait for a call. The bytes are valid only until it returns (an
// answer given as complete(BytesView) from them is written before it
// returns, or copied); any process that may write to the mailbox can reach
// them, so what a handler checks it should copy first. For large arguments:
// a plain method's are always copied out of the mailbox first.
using InPlaceHandler = std::function<void(BytesView, Reply)>;

// Receives a call's one outcome. It runs on the node's io thread (answers,
// time-outs, failed deliveries), on the thread that closes the node, or on
// the calling thread before call() returns when the call ends at once. It
// must be quick and must not wait for anything, least of all for another
// call or for the node's close: while it runs its thread does nothing else.
// What it throws is dropped.
using CallCompletion = std::function<void(CallResult)>;

// A call's outcome with its result where it lies: in the node's mailbox when
// the answer lies there in one piece, else in a copy the node made. Valid
// only until the completion that is given it returns.
struct CallResultView {
    uint8_t status = STATUS_OK;
    BytesView result{std::span<const uint8_t>()};
    uint64_t unfit_answer_bytes = 0;  // as in CallResult
};

// A completion that reads the result in place, so that an answer is never
// copied out of the mailbox for it; it runs where a CallCompletion runs, and
// the same rules hold. Any process that may write to the mailbox can reach
// the bytes, so what it checks it should copy first.
using InPlaceCompletion = std::function<void(const CallResultView&)>;

// Tags a completion that may also run on any thread that reads the node's
// answers: a thread in Tarnvel::take_answers() or one waiting for a
// CallFuture, besides where every completion may run. Such a completion only
// records the outcome and tells whoever waits for it: it must neither call
// nor close, nor take a lock that a thread may hold while it reads answers.
struct AnyThread {
    explicit AnyThread() = default;
};
inline constexpr AnyThread any_thread{};

class AnswerWaits;

// The future of a call. An io thread that waited for it would wait for ever
// (an io thread reads the answer), so get() and wait() there throw
// std::system_error (resource_deadlock_would_occur) at once unless the
// outcome is in already; wait_for() and wait_until() are bounded and left
// as they are. Elsewhere get() and wait() may read the answer themselves,
// which wakes the waiting thread sooner than the io thread could hand it
// over. A plain std::future cannot see who waits for it: moved into one, the
// future loses both.
class CallFuture : public std::future<CallResult> {
public:
    CallFuture() noexcept = default;
    explicit CallFuture(std::future<CallResult>&& future) noexcept : std::future<CallResult>(std::move(future)) {}
    CallFuture(std::future<CallResult>&& future, std::shared_ptr<AnswerWaits> reader) noexcept
        : std::future<CallResult>(std::move(future)), reader_(std::move(reader)) {}

    CallResult get();
    void wait() const;

private:
    std::shared_ptr<AnswerWaits> reader_;
};

class Tarnvel {
public:
    // Throws tarnvel::Error ("invalid node name", "directory full", ...) or
    // std::system_error when the io thread cannot start.
    Tarnvel(std::string node_name, std::string system_name, std::string recv_shm_name, uint64_t recv_shm_bytes);
    ~Tarnvel();

    Tarnvel(const Tarnvel&) = delete;
    Tarnvel& operator=(const Tarnvel&) = delete;

    // Idempotent. Every pending call has ended with STATUS_EXEC_FAILED when it
    // returns, and the handlers still running on workers have returned
    // (their answers are dropped). Called from one of the node's own
    // handlers it throws std::system_error (resource_deadlock_would_occur)
    // after stopping the node; a later close from another thread finishes
    // the job.
    void close();

    uint32_t pid() const;

    // Whether the calling thread is the io thread of some node: where most
    // completions run, method handlers too unless the node has workers, and
    // where nothing may wait for a call.
    static bool on_io_thread() noexcept;

    // Calls `method` of the node (node_name, pid) with `args`; the call ends
    // after at most `timeout_ms` with STATUS_TIMEOUT unless another outcome
    // came first. Never throws for a failed call; the outcome is the
    // CallResult. Throws Error "Tarnvel is closed" only. See CallFuture for
    // waiting on an io thread.
    CallFuture call(std::string node_name, uint32_t pid, std::string method, Bytes args, int64_t timeout_ms);
    // The same with `on_done` run once with the outcome instead of a future.
    // If it throws "Tarnvel is closed", `on_done` never runs.
    void call(std::string node_name, uint32_t pid, std::string method, Bytes args, int64_t timeout_ms,
              CallCompletion on_done);
    // Both forms with arguments the call reads before it returns.
    CallFuture call(std::string node_name, uint32_t pid, std::string method, BytesView args, int64_t timeout_ms);
    void call(std::string node_name, uint32_t pid, std::string method, BytesView args, int64_t timeout_ms,
              CallCompletion on_done);
    // With a completion that reads the result where it lies (see
    // InPlaceCompletion), for callers that look at an answer once and keep
    // none of it.
    void call_in_place(std::string node_name, uint32_t pid, std::string method, BytesView args, int64_t timeout_ms,
                       InPlaceCompletion on_done);
    // With a completion that may run on any thread (see AnyThread).
    void call(std::string node_name, uint32_t pid, std::string method, BytesView args, int64_t timeout_ms,
              CallCompletion on_done, AnyThread);

    // Reads the answers in the node's mailbox now, on the calling thread, and
    // finishes the calls made with AnyThread among them: a thread about to
    // wait for such a call need not wait for the io thread to be scheduled.
    // The first frame only the io thread may act on (a request, another
    // call's answer) is left to it with every frame behind it, which it acts
    // on in order. Does nothing on an io thread, while another thread or the
    // io thread reads the mailbox or has yet to act on frames left to it, once
    // the node is closed, and where the platform has no such reading. Never
    // waits.
    void take_answers();

    // For a thread about to wait for a call made with AnyThread: waits until
    // `done()` holds, `until` passes or the node closes, reading the node's mailbox meanwhile
    // on this thread, so that the answer wakes this thread directly rather
    // than the io thread, which would then have to wake it. Whatever makes
    // `done()` true (the call's completion, most often) calls the node's
    // answer_waiter_waker() after. Returns false at once, having waited not at
    // all, when `done()` holds already or where it cannot wait so: on an io
    // thread, while another thread
    // waits so, once the node is closing, in a fork child, and where the
    // platform has no such wait (Windows); the thread then waits in its own
    // way. It never waits for the io thread, which may be running a method;
    // answers larger than 128 KiB it leaves to the io thread, whose
    // completion then wakes it. `done` runs on this thread only and must be
    // quick.
    bool wait_taking_answers(const std::function<bool()>& done, std::chrono::steady_clock::time_point until);
    // Memory for an answer's result of exactly `size` bytes, or an empty
    // span for none.
    using AnswerSpace = std::function<std::span<uint8_t>(size_t size)>;
    // The same, reading the first answer over 128 KiB into the memory
    // `space` gives rather than leaving it to the io thread (which would read
    // it into a vector of its own): `space` is asked on this thread, with no
    // lock of the node's held, when such an answer (STATUS_OK) is at the head
    // of the mailbox with nothing behind it (else it goes to the io thread
    // with what follows); the answer waits there meanwhile, unless the io
    // thread takes it first. The memory must stay valid until this returns.
    // If the answer's call was made with any_thread, its completion gets it
    // with CallResult::result_in_space set (every any_thread completion of
    // the node must then know where to find it); any other gets a copy.
    bool wait_taking_answers(const std::function<bool()>& done, std::chrono::steady_clock::time_point until,
                             const AnswerSpace& space);
    // What has the thread in wait_taking_answers(), if any, look at its
    // `done()` again: callable from any thread, also once the node is gone
    // (it then does nothing).
    std::function<void()> answer_waiter_waker() const;

    // False when the descriptor or its name is refused.
    bool register_method(boost::json::object descriptor, MethodHandler handler);
    // The same for a handler that answers through its Reply, now or later.
    bool register_method(boost::json::object descriptor, DeferredHandler handler);
    // The same for a handler that reads its argument in place.
    bool register_in_place_method(boost::json::object descriptor, InPlaceHandler handler);
    // One method in two forms: on a node without workers (whose methods run
    // on the io thread anyway) `in_place` takes the requests that lie whole
    // in the mailbox and `handler` those copied out (see InPlaceHandler),
    // both on the io thread; on a node with workers `handler` takes all of
    // them, on its workers.
    bool register_in_place_method(boost::json::object descriptor, DeferredHandler handler, InPlaceHandler in_place);

    // Where method handlers run. 0, the default: on the io thread, one at a
    // time, so each must be quick and must not wait for a call. 1 to
    // MAX_WORKER_THREADS: on up to that many threads of the node's own,
    // started as requests come in and joined by close; a handler may then
    // take its time and wait for calls to any node, this one included (whose
    // methods then need a worker free to run them). Either way the io thread
    // answers sys.list_methods and sys.list_nodes at once. Lowering the
    // count stops no worker already started. Throws Error "invalid worker
    // count" above the limit, "Tarnvel is closed".
    static constexpr unsigned MAX_WORKER_THREADS = 256;
    void set_worker_threads(unsigned count);

    // The nodes of the system whose process is alive; slots of processes
    // that are gone are cleared on the way. Throws Error "book mutex held
    // too long" (os_failure) when another process keeps the book locked.
    std::vector<NodeInfo> list_nodes() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The limits of what a node is constructed with; the constructor refuses
// anything beyond them with ErrorKind::invalid_argument.
inline constexpr std::size_t MAX_NODE_NAME_BYTES = 63;         // a book slot's name field, less its NUL
inline constexpr std::size_t MAX_SYSTEM_NAME_BYTES = 240;      // the mutex's object name stays within 259 bytes
inline constexpr std::size_t MAX_MAILBOX_NAME_BYTES = 127;     // recv_shm_name + "_" + the decimal pid
inline constexpr uint64_t MIN_RECV_SHM_BYTES = 81;             // the mailbox header and the smallest ring
inline constexpr uint64_t MAX_RECV_SHM_BYTES = 0xFFFFFFFFull;  // the ring's 32-bit capacity field

// Whether the constructor would take these names (the rules only; nothing is
// looked up).
bool is_valid_node_name(std::string_view node_name) noexcept;
bool is_valid_system_name(std::string_view system_name) noexcept;

// The calling process's id, as the book and the frames carry it; correct in a
// fork child.
uint32_t this_process_id() noexcept;

// A system whose book is present on this machine.
struct SystemInfo {
    // Empty when the platform's name of the book was cut (system names too
    // long for a file name): then only `prefix`, the start of the name, is
    // known.
    std::string name;
    std::string prefix;
    // The book's own name on this platform (Linux: its file in /dev/shm) and
    // where it can be looked at (Linux: the file's path).
    std::string object_name;
    std::string location;
};

// The systems present on this machine, sorted by prefix, a cut name after a
// whole one. A book outlives its system's last node when that node's process
// was killed, until a node anywhere sweeps such leftovers, so a system listed
// here may have no live node. Where the platform cannot list its objects the
// list is empty (see the platform layer).
std::vector<SystemInfo> list_systems();

// Whether the system's book is present and held by a live process. Throws
// Error (invalid_argument) for a name no node could have.
bool system_exists(std::string_view system_name);

// The nodes in the system's book, with their mailbox names, in book order,
// leaving out those whose process is gone; nothing when the system does not
// exist. Read from outside: it takes no slot,
// creates nothing and does not wait for the book's mutex, so a slot that is
// being written at that moment may read as it was before or be left out.
// Throws Error (invalid_argument) for a name no node could have.
std::optional<std::vector<NodeInfo>> system_nodes(std::string_view system_name);

}  // namespace tarnvel
