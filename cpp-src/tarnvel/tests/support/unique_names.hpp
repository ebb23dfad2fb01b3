// Names that no other test, test process or earlier run uses, so tests can
// run in parallel and never meet each other's systems or mailboxes.
#pragma once

#include <string>
#include <string_view>

namespace tarnvel::test {

// `tag` followed by the process id, a per-process counter and a per-run
// nonce; only letters, digits and '_', so it is also a valid system name
// when `tag` is.
std::string unique_name(std::string_view tag);

}  // namespace tarnvel::test
