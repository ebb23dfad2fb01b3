#include "held_names.hpp"

#include "platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"

#include <memory>
#include <utility>

namespace tarnvel {

bool HeldMailboxNames::take(const std::string& name) {
    std::lock_guard lock(mutex_);
    return names_.insert(name).second;
}

void HeldMailboxNames::give_back(const std::string& name) {
    std::lock_guard lock(mutex_);
    names_.erase(name);
}

void HeldMailboxNames::forget_after_fork() noexcept {
    std::construct_at(&mutex_);
    std::construct_at(&names_);
}

namespace {

// Made while the library is loaded, before any thread of ours runs: a
// function-local static could be half-made by a thread that fork() leaves
// behind, and the child would wait for it for ever.
HeldMailboxNames* const held_names = [] {
    auto* names = new HeldMailboxNames;
    platform::at_fork_in_child([]() noexcept { held_names->forget_after_fork(); });
    return names;
}();

HeldMailboxNames* const held_systems = [] {
    auto* names = new HeldMailboxNames;
    platform::at_fork_in_child([]() noexcept { held_systems->forget_after_fork(); });
    return names;
}();

}  // namespace

HeldMailboxNames& held_mailbox_names() { return *held_names; }

HeldMailboxNames& held_system_names() { return *held_systems; }

MailboxNameHold::MailboxNameHold(std::string name) : name_(std::move(name)) {
    if (!held_names->take(name_)) throw Error(ErrorKind::os_failure, "CreateFileMapping mailbox failed");
    held_ = true;
}

MailboxNameHold::MailboxNameHold(MailboxNameHold&& other) noexcept
    : name_(std::move(other.name_)), held_(std::exchange(other.held_, false)) {}

MailboxNameHold::~MailboxNameHold() {
    if (held_) held_names->give_back(name_);
}

SystemHold::SystemHold(std::string book_name) : name_(std::move(book_name)) {
    if (!held_systems->take(name_)) {
        throw Error(ErrorKind::already_joined, "this process already has a node in this system");
    }
    held_ = true;
}

SystemHold::SystemHold(SystemHold&& other) noexcept
    : name_(std::move(other.name_)), held_(std::exchange(other.held_, false)) {}

SystemHold::~SystemHold() {
    if (held_) held_systems->give_back(name_);
}

}  // namespace tarnvel
