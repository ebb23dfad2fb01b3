#include "support/shm_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tarnvel::test {

namespace {

bool private_runtime_dir() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    return dir != nullptr && dir[0] == '/' && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700;
}

}  // namespace

std::string shm_directory() { return private_runtime_dir() ? std::getenv("XDG_RUNTIME_DIR") : "/dev/shm"; }

std::string shm_file_prefix() {
    return private_runtime_dir() ? "tarnvel." : "tarnvel." + std::to_string(::geteuid()) + ".";
}

std::string shm_object_path(std::string_view kind, std::string_view name) {
    std::string path = shm_directory() + "/" + shm_file_prefix();
    path += kind;
    path += '.';
    for (unsigned char c : name) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
        if (keep) {
            path += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            path += hex;
        }
    }
    return path;
}

bool shm_object_exists(std::string_view kind, std::string_view name) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(shm_object_path(kind, name), ec));
}

std::vector<std::string> shm_files_containing(std::string_view fragment) {
    std::vector<std::string> found;
    std::error_code ec;
    const std::string prefix = shm_file_prefix();
    for (const auto& entry : std::filesystem::directory_iterator(shm_directory(), ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && name.find(fragment) != std::string::npos) found.push_back(name);
    }
    return found;
}

std::vector<std::string> shm_files_held_by(uint32_t pid) {
    std::vector<std::string> found;
    const std::string place = shm_directory() + "/" + shm_file_prefix();
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", ec)) {
        std::error_code link_ec;
        auto target = std::filesystem::read_symlink(entry.path(), link_ec).string();
        if (target.find(place) != std::string::npos) found.push_back(target);
    }
    std::ifstream maps(proc + "/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find(place) != std::string::npos) found.push_back(line);
    return found;
}

}  // namespace tarnvel::test
