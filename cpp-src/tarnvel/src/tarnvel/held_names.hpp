// The mailbox names held by this process's live nodes.
#pragma once

#include <mutex>
#include <set>
#include <string>

namespace tarnvel {

// A second node under a held name would open the first one's mailbox and
// event, wipe its ring and then read it too, and two readers of one ring take
// each other's messages.
class HeldMailboxNames {
public:
    bool take(const std::string& name);
    void give_back(const std::string& name);

    // In a child made by fork(): the parent's names mean nothing there (a
    // mailbox name carries its process id), and a thread of the parent may
    // have held the lock, or been half-way through a change, at the fork.
    // Starts afresh without freeing or locking anything; what the old set
    // held is left behind.
    void forget_after_fork() noexcept;

private:
    std::mutex mutex_;
    std::set<std::string> names_;
};

// The process's one instance, ready before any node can exist and never
// destroyed (closer and reaper threads may give names back while statics go).
HeldMailboxNames& held_mailbox_names();

// The systems this process's live nodes are in (by book name). The book keeps
// one slot per process: a second node would take the first one's slot.
HeldMailboxNames& held_system_names();

// One name taken from held_mailbox_names() for as long as this lives.
class MailboxNameHold {
public:
    // Throws Error "CreateFileMapping mailbox failed" (os_failure) when a
    // live node of this process holds the name.
    explicit MailboxNameHold(std::string name);
    ~MailboxNameHold();
    // A moved-from hold holds nothing.
    MailboxNameHold(MailboxNameHold&& other) noexcept;
    MailboxNameHold& operator=(MailboxNameHold&&) = delete;

    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
    bool held_ = false;
};

// One system taken from held_system_names() for as long as this lives.
class SystemHold {
public:
    // Throws Error "this process already has a node in this system"
    // (already_joined) when a live node of this process is in it.
    explicit SystemHold(std::string book_name);
    ~SystemHold();
    SystemHold(SystemHold&& other) noexcept;
    SystemHold& operator=(SystemHold&&) = delete;

private:
    std::string name_;
    bool held_ = false;
};

}  // namespace tarnvel
