#include "directory.hpp"

#include "settings.hpp"

#include <utility>

namespace tarnvel {

Directory::Directory(boost::asio::io_context& io, const std::atomic<bool>& stopping, uint32_t pid,
                     const std::string& book_object, const std::string& book_mutex_object)
    : stopping_(stopping), refresh_timer_(io), pid_(pid) {
    mutex_.emplace(platform::NamedMutex::create(book_mutex_object));
    mapping_.emplace(platform::SharedMapping::create(book_object, BOOK_SIZE, "book"));
}

Book Directory::book() { return Book(*mutex_, mapping_->view()); }

bool Directory::enter(std::string node_name, std::string mailbox_name) {
    node_name_ = std::move(node_name);
    mailbox_name_ = std::move(mailbox_name);
    return book().register_node(pid_, node_name_, mailbox_name_);
}

void Directory::start_refresh() { schedule_refresh(); }

void Directory::schedule_refresh() {
    refresh_timer_.expires_after(settings::timing().book_refresh_period);
    refresh_timer_.async_wait([this](const boost::system::error_code& error) {
        if (error || stopping_) return;
        // A slot purged by a peer (or taken by another node of this process)
        // comes back here.
        try {
            book().register_node(pid_, node_name_, mailbox_name_);
        } catch (...) {
            // The book mutex failed; the next refresh tries again.
        }
        schedule_refresh();
    });
}

void Directory::stop_refresh() noexcept { refresh_timer_.cancel(); }

void Directory::leave() {
    if (mutex_ && mapping_) book().purge_pid(pid_);
}

std::optional<std::string> Directory::lookup(std::string_view node_name, uint32_t pid) {
    return book().lookup(node_name, pid);
}

std::optional<BookEntry> Directory::entry_of(uint32_t pid) { return book().entry_of(pid); }

void Directory::purge(uint32_t pid) { book().purge_pid(pid); }

std::vector<NodeInfo> Directory::list() { return book().list(); }

void Directory::abandon() noexcept {
    // The refresh timer is an io object of the parent's io context: it is
    // left as it is.
    if (mapping_) mapping_->abandon();
    if (mutex_) mutex_->abandon();
    mapping_.reset();
    mutex_.reset();
}

}  // namespace tarnvel
