// The systems of the machine seen from outside: which are present, whether
// one exists, and who is in its book, without joining it.
#pragma once

#include "platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"

#include <optional>

namespace tarnvel {

// The system whose book this mapping is, if it is one. A cut name is taken
// for a book when what is left of it could start a system name: a mailbox
// name is too short to be cut unless it holds bytes a system name cannot.
std::optional<SystemInfo> system_of_mapping(const platform::PresentObject& mapping);

}  // namespace tarnvel
