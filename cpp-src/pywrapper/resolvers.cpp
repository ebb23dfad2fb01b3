#include "resolvers.hpp"

#include "call_result.hpp"
#include "gil_safety.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace tarnvel::binding {

namespace {

// A thread idle this long ends, so an idle process keeps no resolver.
constexpr auto IDLE_LIMIT = std::chrono::seconds(2);

// With the interpreter lock held: hands the outcome to the Future, whose
// done-callbacks run here.
void resolve(Resolution& resolution) noexcept {
    const WaiterTicket::ThreadScope waiter(*resolution.ticket);
    try {
        if (resolution.late_callbacks) {
            resolution.future->attr("_tarnvel_add_late")(*resolution.late_callbacks);
            resolution.late_callbacks.reset();
        } else if (resolution.made) {
            const std::shared_ptr<py::object> made = std::move(resolution.made);
            resolution.future->attr("_tarnvel_resolve_late")(*made);
        } else {
            resolution.future->attr("set_result")(
                call_result_object(std::move(resolution.outcome), resolution.result_bytes));
        }
    } catch (const std::exception&) {
        // Python code resolved the Future itself (or allocation failed); the
        // outcome has no one to go to, and the process goes on.
    }
    resolution.future.reset();
    // Last, with the lock still held: once a close sees no unresolved Future,
    // no resolver runs its node's Python code any more.
    resolution.ticket->give_back();
}

// A caller waiting for the answer to the only call in flight usually has it
// within tens of microseconds. Staying on its core that long spares the
// sleep and the wake-up on another core, which cost as much again. The spin
// is short, left out while other calls are in flight (the io thread then has
// work for the core) or on one core, and tried only now and then once several
// spins in a row ran out (slow methods), so it wastes little; a single slow
// answer among quick ones does not stop it.
constexpr auto SPIN_LIMIT = std::chrono::microseconds(100);
// How long the main thread waits between looks at pending signals: a
// fraction of the tenth of a second in which Ctrl-C should take effect.
constexpr auto SIGNAL_SLICE = std::chrono::milliseconds(50);
// How long a thread waits for its call in the node's mailbox before it waits
// for its signal instead (see FutureSignal::wait).
constexpr auto READ_IN_MAILBOX_FOR = std::chrono::milliseconds(2);
constexpr unsigned MISSES_BEFORE_BACKING_OFF = 4;
constexpr unsigned SPIN_RETRY_EVERY = 16;

// Calls of this process whose signal is not set yet.
std::atomic<int> signals_unset{0};
std::atomic<unsigned> spin_misses{0};  // spins in a row that ran out
std::atomic<unsigned> waits_without_spin{0};

// With the interpreter lock held, which guards the cache. A fork child's
// main thread is the one that forked, so the cache is per process.
bool on_main_thread() {
    static uint32_t cached_for = 0;
    static unsigned long main_ident = 0;
    if (cached_for != this_process_id()) {
        main_ident = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
        cached_for = this_process_id();
    }
    return PyThread_get_thread_ident() == main_ident;
}

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

FutureSignal::FutureSignal() noexcept { signals_unset.fetch_add(1, std::memory_order_relaxed); }

FutureSignal::~FutureSignal() {
    if (!set_.load()) signals_unset.fetch_sub(1, std::memory_order_relaxed);
}

void FutureSignal::set() noexcept {
    std::function<void()> waker;
    {
        const std::lock_guard lock(mutex_);
        if (set_.exchange(true)) return;
        // A waiter that gives its waker after this sees the flag.
        try {
            waker = waker_;
        } catch (...) {
            // No memory for the copy: a waiter in the mailbox wakes at the end
            // of its slice or its time.
        }
    }
    signals_unset.fetch_sub(1, std::memory_order_relaxed);
    changed_.notify_all();
    if (waker) waker();
}

namespace {

// The bytes object made for a large answer by the thread waiting for it in
// its node's mailbox, until the answer's completion takes it over (on the
// same thread, as the answer is read) or the thread lets go of it.
thread_local PyObject* answer_space = nullptr;

// Without the interpreter lock, for a thread waiting in its node's mailbox:
// the answer is read straight into a bytes object. The caller would copy it
// into one anyway, and read into a vector first, the two large buffers on
// this thread's heap would have the allocator give memory back and fault it
// in again on every call; left to the io thread, it costs a wake-up more.
std::span<uint8_t> make_answer_space(size_t size) noexcept {
    if (interpreter_exiting() || size > static_cast<size_t>(PY_SSIZE_T_MAX)) return {};
    const py::gil_scoped_acquire gil;
    let_go_of_answer_space();
    answer_space = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (answer_space == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(answer_space)), size};
}

}  // namespace

std::shared_ptr<py::object> take_answer_space() noexcept {
    if (answer_space == nullptr) return nullptr;
    std::shared_ptr<py::object> holder;
    try {
        // Empty while it is made: should that fail, nothing needs the lock.
        holder = std::shared_ptr<py::object>(new py::object(), GilSafeDelete{});
    } catch (...) {
        return nullptr;  // no memory: the object is let go of with the lock, and the call's result is lost
    }
    // Moved, never copied: no reference count changes without the lock.
    *holder = py::reinterpret_steal<py::object>(std::exchange(answer_space, nullptr));
    return holder;
}

void let_go_of_answer_space() noexcept { Py_CLEAR(answer_space); }

bool FutureSignal::wait_reading(Tarnvel& reader, std::chrono::steady_clock::time_point until) {
    {
        // Kept once given: another thread waiting for this signal, refused in
        // the mailbox while this one waits there, must not take it away. It
        // holds no node, so set() may run it after the node is gone.
        const std::lock_guard lock(mutex_);
        if (!waker_) waker_ = reader.answer_waiter_waker();
    }
    return reader.wait_taking_answers([this] { return set_.load(); }, until, &make_answer_space);
}

bool FutureSignal::spin_until_set(std::chrono::steady_clock::time_point deadline) noexcept {
    static const bool several_cores = std::thread::hardware_concurrency() > 1;
    const auto now = std::chrono::steady_clock::now();
    const auto until = std::min(deadline, now + SPIN_LIMIT);
    spin_budget_.store(until - now, std::memory_order_relaxed);
    if (!several_cores || until <= now || signals_unset.load(std::memory_order_relaxed) != 1) {
        return false;
    }
    if (spin_misses.load(std::memory_order_relaxed) >= MISSES_BEFORE_BACKING_OFF &&
        waits_without_spin.fetch_add(1, std::memory_order_relaxed) % SPIN_RETRY_EVERY != 0) {
        return false;
    }
    do {
        if (set_.load()) {
            spin_misses.store(0, std::memory_order_relaxed);
            return true;
        }
        cpu_relax();
    } while (std::chrono::steady_clock::now() < until);
    spin_misses.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool FutureSignal::wait(std::optional<double> timeout, Tarnvel* reader) {
    // Only the main thread runs signal handlers; it alone waits in slices.
    const bool main_thread = on_main_thread();
    struct Waiting {
        std::atomic<int>& count;
        explicit Waiting(std::atomic<int>& c) noexcept : count(c) { count.fetch_add(1); }
        ~Waiting() { count.fetch_sub(1); }
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;
    } const waiting(waiting_);
    // Saturates far beyond any real wait instead of overflowing the clock;
    // a negative time (or NaN) waits not at all.
    double seconds = timeout ? std::min(*timeout, 1e9) : 1e9;
    if (!(seconds > 0.0)) seconds = 0.0;
    // One deadline for the spin and the sleep, so the spin never adds to
    // the time a caller asked to wait.
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    // The answer wakes this thread, which reads it from the mailbox itself,
    // rather than the io thread, which would then have to wake it: one
    // wake-up instead of two, and none while the answer comes within the
    // mailbox's short watch. One thread waits there at a time, and only for
    // the first part of a wait: a call that takes longer leaves the mailbox
    // to the calls that other threads make meanwhile.
    const bool lone = signals_unset.load(std::memory_order_relaxed) == 1;
    bool reading = reader != nullptr;
    const auto stop_reading = std::min(deadline, std::chrono::steady_clock::now() + READ_IN_MAILBOX_FOR);
    if (reading && lone) {
        // At most: the mailbox's watch before it sleeps is shorter, and ends
        // by the same deadline.
        spin_budget_.store(
            std::min<std::chrono::steady_clock::duration>(deadline - std::chrono::steady_clock::now(), SPIN_LIMIT),
            std::memory_order_relaxed);
    } else {
        const py::gil_scoped_release unlocked;
        // With other calls in flight, this one's answer may be in the ring
        // already, behind answers the io thread has had no core to read.
        if (reader != nullptr && signals_unset.load(std::memory_order_relaxed) > 1) {
            reader->take_answers();
            if (set_.load()) return true;
        }
        if (spin_until_set(deadline)) return true;
    }
    for (;;) {
        {
            const py::gil_scoped_release unlocked;
            const auto until =
                main_thread ? std::min(deadline, std::chrono::steady_clock::now() + SIGNAL_SLICE) : deadline;
            if (reading) {
                const bool waited = wait_reading(*reader, std::min(until, stop_reading));
                if (set_.load()) return true;
                // The node could not have this thread wait in its mailbox
                // (another thread waits there): the spin, then the sleep here.
                if (!waited && spin_until_set(deadline)) return true;
                // Refused, or past the first part of the wait: the signal from
                // here on.
                reading = waited && std::chrono::steady_clock::now() < stop_reading;
            }
            // Also what is left of a wait there that the node's close ended.
            if (std::chrono::steady_clock::now() < until) {
                reading = false;
                std::unique_lock lock(mutex_);
                if (changed_.wait_until(lock, until, [this] { return set_.load(); })) return true;
            }
            if (until >= deadline) return false;
        }
        // Ctrl-C (or any signal with a Python handler) is handled here, and
        // what the handler raises ends the wait; the call goes on by itself.
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

namespace {

class Resolvers {
public:
    explicit Resolvers(uint32_t owner) : owner_(owner) {}
    uint32_t owner() const { return owner_; }

    // With the interpreter lock held: the queued jobs that only carry an
    // outcome (not callbacks to add, nor a result made already).
    std::vector<Resolution> take_outcomes() {
        std::vector<Resolution> taken;
        const std::lock_guard lock(mutex_);
        for (auto it = jobs_.begin(); it != jobs_.end();) {
            if (it->late_callbacks || it->made) {
                ++it;
                continue;
            }
            taken.push_back(std::move(*it));
            it = jobs_.erase(it);
        }
        return taken;
    }

    // Moves `resolution` in; when that throws, it is left whole.
    void submit(Resolution& resolution) {
        std::unique_lock lock(mutex_);
        jobs_.push_back(std::move(resolution));
        if (idle_ > 0) {
            lock.unlock();
            work_.notify_one();
            return;
        }
        start_thread_locked();
    }

private:
    // Keeps this promise: while jobs wait, a thread is idle or starting. So
    // a thread that blocks in a done-callback never strands the jobs behind
    // it; a new thread starts for them.
    void start_thread_locked() noexcept {
        if (starting_ > 0) return;
        try {
            std::thread([this] { run(); }).detach();
            ++starting_;
        } catch (...) {
            // The next job submitted or taken tries again.
        }
    }

    // Takes the next job, with mutex_ held.
    Resolution take_locked() {
        Resolution job = std::move(jobs_.front());
        jobs_.pop_front();
        if (!jobs_.empty() && idle_ == 0) start_thread_locked();
        return job;
    }

    void run() noexcept {
        std::unique_lock lock(mutex_);
        --starting_;
        for (;;) {
            ++idle_;
            const bool woken = work_.wait_for(lock, IDLE_LIMIT, [this] { return !jobs_.empty(); });
            --idle_;
            if (!woken) return;
            if (interpreter_exiting()) {
                // Nobody is left to tell: the job is dropped, and its Future's
                // reference leaked by its deleter.
                Resolution dropped = take_locked();
                lock.unlock();
                dropped = Resolution{};
                lock.lock();
                continue;
            }
            lock.unlock();
            {
                // One trip for the lock while jobs keep coming: under load the
                // interpreter lock changes hands once per batch, not per call.
                // Jobs are taken only with it held, so a fork (made with it
                // held) finds every job either resolved or still queued.
                const ForeignThreadGil gil;
                for (;;) {
                    Resolution job;
                    {
                        const std::lock_guard next(mutex_);
                        if (jobs_.empty()) break;
                        job = take_locked();
                    }
                    resolve(job);
                }
            }
            lock.lock();
        }
    }

    const uint32_t owner_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::deque<Resolution> jobs_;
    int idle_ = 0;
    int starting_ = 0;
};

// The instance of this process in `slot`, made on first use. Leaked: its
// threads may outlive static destruction. A fork child has none of its
// parent's threads, and its copy of the instance's lock may be held, so it
// makes an instance of its own.
template <class PerProcess>
PerProcess& this_process_instance(std::atomic<PerProcess*>& slot) {
    const uint32_t pid = this_process_id();
    PerProcess* current = slot.load(std::memory_order_acquire);
    while (current == nullptr || current->owner() != pid) {
        auto* fresh = new PerProcess(pid);
        if (slot.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return *fresh;
        delete fresh;  // another thread made one first; `current` is it now
    }
    return *current;
}

Resolvers& resolvers() {
    static std::atomic<Resolvers*> pool{nullptr};
    return this_process_instance(pool);
}

// Moves `resolution` to a resolver thread's queue; false, with it left whole,
// when there is no memory for that (whoever lets go of it then may need the
// interpreter lock, so not while holding a lock a holder of it may wait for).
bool queue_for_resolvers(Resolution& resolution) noexcept {
    try {
        resolvers().submit(resolution);
        return true;
    } catch (...) {
        return false;
    }
}

// With the interpreter lock held, on a thread where no done-callback runs
// unasked: resolves the Future unless a done-callback came first, in which
// case (or for callbacks added meanwhile) a resolver thread takes it on and
// false is returned. The caller gives the ticket back and then lets go of the
// Future, for the whole batch in that order: the last reference to a Future
// may close its node, which waits for the tickets of unresolved Futures.
bool resolve_here(Resolution& resolution, std::exception_ptr& raised) noexcept {
    try {
        // Looked up by an interned name: this runs once per call.
        PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::str> name;
        const py::str& method = name.call_once_and_store_result([] {
                                        PyObject* interned = PyUnicode_InternFromString("_tarnvel_resolve_here");
                                        if (interned == nullptr) throw py::error_already_set();
                                        return py::reinterpret_steal<py::str>(interned);
                                    })
                                    .get_stored();
        py::object outcome = call_result_object(std::move(resolution.outcome), resolution.result_bytes);
        // The outcome is in `outcome` alone from here on: should keeping it
        // fail below, the Future must not be told the call succeeded empty.
        resolution.outcome = CallResult{STATUS_EXEC_FAILED, {}};
        py::object late;
        try {
            late = py::reinterpret_steal<py::object>(
                PyObject_CallMethodOneArg(resolution.future->ptr(), method.ptr(), outcome.ptr()));
            if (!late) throw py::error_already_set();
        } catch (const py::error_already_set&) {
            // A signal handler's exception, or out of memory: a resolver
            // thread finishes the Future, and the caller sees the exception.
            if (!raised) raised = std::current_exception();
        }
        if (!late || late.is_none()) {
            resolution.made = shared_object(std::move(outcome));
        } else if (py::len(late) > 0) {
            resolution.late_callbacks = shared_object(std::move(late));
        } else {
            return true;
        }
    } catch (...) {
        // No memory for the outcome's objects (the outcome is left whole):
        // a resolver thread tries, and the rest of the batch goes on.
        if (!raised) raised = std::current_exception();
    }
    resolve_later(std::move(resolution));
    return false;
}

// How long a kept outcome that no waiter will take may wait for a thread that
// holds the interpreter lock before the watcher hands it on, and how often the
// watcher looks meanwhile.
constexpr auto KEEP_AT_MOST = std::chrono::microseconds(500);
// After this long without such an outcome the watcher stops looking and sleeps
// until the next one (which then wakes it). Outcomes whose caller waits for
// them never wake it: the caller takes them.
constexpr auto WATCH_FOR = std::chrono::milliseconds(2);

class ReadyOutcomes {
public:
    explicit ReadyOutcomes(uint32_t owner) : owner_(owner) {}
    uint32_t owner() const { return owner_; }

    void keep(Resolution resolution) noexcept {
        const std::shared_ptr<FutureSignal> signal = resolution.signal;
        bool kept = true;
        {
            const std::lock_guard lock(mutex_);
            try {
                ready_.push_back(std::move(resolution));
                count_.store(ready_.size());
            } catch (...) {
                kept = false;
            }
        }
        if (!kept) {
            // After the lock: should this fail too, letting go of the Future
            // takes the interpreter lock, whose holder may wait for ours.
            resolve_later(std::move(resolution));
            return;
        }
        // After the outcome is in: a waiter that stops waiting meanwhile sees
        // it when it looks (it looks after it stops counting as waiting).
        if (!signal->attended()) {
            bool wake = false;
            std::vector<Resolution> orphaned;
            {
                const std::lock_guard lock(mutex_);
                const auto now = std::chrono::steady_clock::now();
                if (!unattended_) oldest_unattended_ = now;
                unattended_ = true;
                last_unattended_ = now;
                if (!watching_ && !start_watcher_locked()) {
                    // No thread to watch: what is kept goes to the resolvers
                    // now rather than wait for a caller that may never come.
                    orphaned.swap(ready_);
                    unattended_ = false;
                    // Before the lock goes, as the watcher does; what could
                    // not be handed on goes with `orphaned`, after the lock.
                    for (Resolution& r : orphaned) (void)queue_for_resolvers(r);
                    count_.store(0);
                }
                wake = watcher_asleep_;
            }
            if (wake) changed_.notify_one();
        }
        signal->set();
    }

    // Whether an outcome may be kept; a cheap look without the lock.
    bool any() const noexcept { return count_.load() != 0; }

    std::vector<Resolution> take() {
        std::vector<Resolution> taken;
        const std::lock_guard lock(mutex_);
        taken.swap(ready_);
        count_.store(0);
        unattended_ = false;
        return taken;
    }

private:
    bool start_watcher_locked() noexcept {
        try {
            std::thread([this] { watch(); }).detach();
            watching_ = true;
        } catch (...) {
            // The next such outcome tries again.
            return false;
        }
        return true;
    }

    // Hands outcomes that nobody came for (a Future waited on by
    // concurrent.futures.wait, or by no one) to the resolver threads; it
    // never waits for the interpreter lock itself.
    void watch() noexcept {
        std::unique_lock lock(mutex_);
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            if (unattended_ && now - oldest_unattended_ >= KEEP_AT_MOST) {
                std::vector<Resolution> taken;
                taken.swap(ready_);
                unattended_ = false;
                // Handed on before the lock goes, and counted as kept until
                // then: the hook before a fork, which takes what is kept and
                // then what the resolvers have queued, must find each outcome
                // in one place or the other.
                for (Resolution& resolution : taken) (void)queue_for_resolvers(resolution);
                count_.store(0);
                lock.unlock();
                // What could not be handed on (no memory) lets go of its
                // objects here, where the interpreter lock may be taken.
                taken.clear();
                lock.lock();
                continue;
            }
            if (!unattended_ && now - last_unattended_ >= WATCH_FOR) {
                watcher_asleep_ = true;
                const bool woken = changed_.wait_for(lock, IDLE_LIMIT, [this] { return unattended_; });
                watcher_asleep_ = false;
                if (!woken) {
                    watching_ = false;
                    return;
                }
                continue;
            }
            changed_.wait_for(lock, KEEP_AT_MOST);
        }
    }

    const uint32_t owner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Resolution> ready_;
    std::atomic<size_t> count_{0};
    // Whether an outcome that no waiter will take is kept, since when, and
    // when the last one was.
    bool unattended_ = false;
    std::chrono::steady_clock::time_point oldest_unattended_{};
    std::chrono::steady_clock::time_point last_unattended_{};
    bool watching_ = false;
    bool watcher_asleep_ = false;
};

ReadyOutcomes& ready_outcomes() {
    static std::atomic<ReadyOutcomes*> kept{nullptr};
    return this_process_instance(kept);
}

}  // namespace

void resolve_ready_later(Resolution resolution) noexcept {
    ready_outcomes().keep(std::move(resolution));
}

namespace {

// With the interpreter lock held: resolves `taken` here, as resolve_ready
// does, and throws what Python code raised meanwhile.
void resolve_taken(std::vector<Resolution>& taken) {
    std::exception_ptr raised;
    // One handed to a resolver thread is moved from, its ticket with it.
    for (Resolution& resolution : taken) resolve_here(resolution, raised);
    for (Resolution& resolution : taken) {
        if (resolution.ticket) resolution.ticket->give_back();
    }
    taken.clear();
    if (raised) std::rethrow_exception(raised);
}

}  // namespace

void resolve_ready() {
    ReadyOutcomes& kept = ready_outcomes();
    if (!kept.any()) return;
    std::vector<Resolution> taken = kept.take();
    resolve_taken(taken);
}

void resolve_before_fork() {
    // Both steps whatever the first raises (a signal handler's exception in
    // a Future's code): the fork goes on regardless.
    std::exception_ptr raised;
    try {
        resolve_ready();
    } catch (...) {
        raised = std::current_exception();
    }
    // Also what the watcher handed on to resolver threads that have not
    // taken it yet (they take jobs only with the interpreter lock, which
    // this thread holds): the child has none of them.
    std::vector<Resolution> queued = resolvers().take_outcomes();
    try {
        resolve_taken(queued);
    } catch (...) {
        if (!raised) raised = std::current_exception();
    }
    if (raised) std::rethrow_exception(raised);
}

void resolve_later(Resolution resolution) noexcept {
    // Out of memory: this Future stays unresolved, and its ticket goes back
    // with the resolution, so close does not wait for it.
    (void)queue_for_resolvers(resolution);
}

}  // namespace tarnvel::binding
