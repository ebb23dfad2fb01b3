#include "directory.hpp"

#include "settings.hpp"

#include <utility>

namespace tarnvel {

namespace {

// For waits on the io thread whose failure costs nothing but a retry.
constexpr std::chrono::milliseconds SHORT_BOOK_WAIT{50};

[[noreturn]] void refuse_busy() { throw Error(ErrorKind::os_failure, "book mutex held too long"); }

}  // namespace

Directory::Directory(boost::asio::io_context& io, const std::atomic<bool>& stopping, uint32_t pid,
                     const std::string& book_object, const std::string& book_mutex_object)
    : stopping_(stopping), refresh_timer_(io), pid_(pid) {
    mutex_.emplace(platform::NamedMutex::create(book_mutex_object));
    mapping_.emplace(platform::SharedMapping::create(book_object, BOOK_SIZE, "book"));
}

Book Directory::book(std::optional<std::chrono::milliseconds> wait) {
    if (before_book_) before_book_();
    return Book(*mutex_, mapping_->view(), wait);
}

std::optional<BookEntry> Directory::known(uint32_t pid) const {
    std::lock_guard lock(known_mutex_);
    const auto it = known_.find(pid);
    if (it == known_.end()) return std::nullopt;
    return it->second;
}

void Directory::learn(uint32_t pid, const BookEntry& entry) {
    std::lock_guard lock(known_mutex_);
    known_.insert_or_assign(pid, entry);
}

bool Directory::enter(std::string node_name, std::string mailbox_name) {
    node_name_ = std::move(node_name);
    mailbox_name_ = std::move(mailbox_name);
    bool entered = false;
    try {
        entered = book().register_node(pid_, node_name_, mailbox_name_);
    } catch (const BookBusy&) {
        refuse_busy();
    }
    if (entered) learn(pid_, BookEntry{node_name_, mailbox_name_});
    return entered;
}

void Directory::start_refresh() { schedule_refresh(); }

void Directory::schedule_refresh() {
    refresh_timer_.expires_after(settings::timing().book_refresh_period);
    refresh_timer_.async_wait([this](const boost::system::error_code& error) {
        if (error || stopping_) return;
        // A slot purged by a peer comes back here, and nodes that joined
        // since are learnt, so that their first calls are answered without
        // the book.
        try {
            // On the io thread: a held mutex costs the node's traffic no more
            // than a moment, and the next period tries again.
            Book current = book(SHORT_BOOK_WAIT);
            current.register_node(pid_, node_name_, mailbox_name_);
            auto entries = current.entries();
            std::map<uint32_t, BookEntry> fresh;
            for (auto& [pid, entry] : entries) fresh.try_emplace(pid, std::move(entry));
            std::lock_guard lock(known_mutex_);
            known_.swap(fresh);
        } catch (...) {
            // The book mutex stayed held (or memory ran out); the next
            // refresh tries again, and what is known stays.
        }
        schedule_refresh();
    });
}

void Directory::stop_refresh() noexcept { refresh_timer_.cancel(); }

void Directory::leave() noexcept {
    if (!mutex_ || !mapping_) return;
    try {
        book().purge_pid(pid_);
    } catch (...) {
        // The slot stays until a peer finds the process gone.
    }
}

std::optional<std::string> Directory::lookup(std::string_view node_name, uint32_t pid) {
    if (std::optional<BookEntry> entry = known(pid); entry && entry->node_name == node_name) {
        return std::move(entry->mailbox_name);
    }
    std::optional<BookEntry> entry = book().entry_of(pid);
    if (!entry) return std::nullopt;
    learn(pid, *entry);
    if (entry->node_name != node_name) return std::nullopt;
    return std::move(entry->mailbox_name);
}

std::optional<BookEntry> Directory::entry_of(uint32_t pid) {
    if (std::optional<BookEntry> entry = known(pid)) return entry;
    std::optional<BookEntry> entry = book().entry_of(pid);
    if (entry) learn(pid, *entry);
    return entry;
}

void Directory::purge(uint32_t pid) noexcept {
    std::optional<BookEntry> was;
    {
        std::lock_guard lock(known_mutex_);
        if (const auto it = known_.find(pid); it != known_.end()) {
            was = std::move(it->second);
            known_.erase(it);
        }
    }
    try {
        // Often on the io thread, and never needed at once: whoever looks
        // the process up next finds it gone and clears its slot. What was
        // known may be older than the book: a node that process opened
        // since keeps its slot.
        std::optional<std::string_view> mailbox;
        if (was) mailbox = was->mailbox_name;
        book(SHORT_BOOK_WAIT).purge_pid(pid, mailbox);
    } catch (...) {
    }
}

std::vector<NodeInfo> Directory::list() {
    try {
        return book().list_living();
    } catch (const BookBusy&) {
        refuse_busy();
    }
}

void Directory::abandon() noexcept {
    // The refresh timer is an io object of the parent's io context: it is
    // left as it is.
    if (mapping_) mapping_->abandon();
    if (mutex_) mutex_->abandon();
    mapping_.reset();
    mutex_.reset();
}

}  // namespace tarnvel
