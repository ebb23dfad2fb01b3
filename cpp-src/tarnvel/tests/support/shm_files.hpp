// Where the POSIX platform layer keeps a named object: the file
// /dev/shm/tarnvel.<kind>.<name>, with every byte of the name outside
// A-Z a-z 0-9 _ - . written as %XX (upper-case hex).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::test {

inline constexpr std::string_view SHM_MAPPING = "map";
inline constexpr std::string_view SHM_MUTEX = "mtx";
inline constexpr std::string_view SHM_EVENT = "evt";

std::string shm_object_path(std::string_view kind, std::string_view name);
bool shm_object_exists(std::string_view kind, std::string_view name);
// The names of the tarnvel files in /dev/shm that contain `fragment`.
std::vector<std::string> shm_files_containing(std::string_view fragment);
// The tarnvel files that process `pid` holds open or mapped (from /proc).
std::vector<std::string> shm_files_held_by(uint32_t pid);

}  // namespace tarnvel::test
