// Where the Linux platform layer keeps a named object, worked out from the
// rule itself: the file <dir>/<prefix><kind>.<name>, with every byte of the
// name outside A-Z a-z 0-9 _ - . written as %XX (upper-case hex), where dir
// and prefix are $XDG_RUNTIME_DIR and "tarnvel." when that is a directory of
// this user's with mode 0700, and /dev/shm and "tarnvel.<uid>." otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::test {

inline constexpr std::string_view SHM_MAPPING = "map";
inline constexpr std::string_view SHM_MUTEX = "mtx";
inline constexpr std::string_view SHM_EVENT = "evt";

// The folder and the file-name prefix of this user's objects.
std::string shm_directory();
std::string shm_file_prefix();

std::string shm_object_path(std::string_view kind, std::string_view name);
bool shm_object_exists(std::string_view kind, std::string_view name);
// The names of this user's tarnvel files that contain `fragment`.
std::vector<std::string> shm_files_containing(std::string_view fragment);
// The tarnvel files that process `pid` holds open or mapped (from /proc).
std::vector<std::string> shm_files_held_by(uint32_t pid);

}  // namespace tarnvel::test
