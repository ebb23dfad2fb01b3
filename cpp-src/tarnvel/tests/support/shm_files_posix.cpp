#include "support/shm_files.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tarnvel::test {

std::string shm_object_path(std::string_view kind, std::string_view name) {
    std::string path = "/dev/shm/tarnvel.";
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
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("tarnvel.", 0) == 0 && name.find(fragment) != std::string::npos) found.push_back(name);
    }
    return found;
}

std::vector<std::string> shm_files_held_by(uint32_t pid) {
    std::vector<std::string> found;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", ec)) {
        std::error_code link_ec;
        auto target = std::filesystem::read_symlink(entry.path(), link_ec).string();
        if (target.find("/dev/shm/tarnvel.") != std::string::npos) found.push_back(target);
    }
    std::ifstream maps(proc + "/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find("/dev/shm/tarnvel.") != std::string::npos) found.push_back(line);
    return found;
}

}  // namespace tarnvel::test
