// Listing objects by their files in the user's object folder: names decoded, cut names, and
// files that are not live objects of this user.
#include "platform/platform.hpp"
#include "support/shm_files.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace tarnvel::test {
namespace {

std::vector<platform::PresentObject> mappings_named(const std::string& fragment) {
    std::vector<platform::PresentObject> found;
    for (auto& object : platform::list_objects(platform::ObjectType::mapping)) {
        if (object.name.find(fragment) != std::string::npos) found.push_back(std::move(object));
    }
    return found;
}

// A file in the object folder that nobody holds, as a killed process leaves one.
class LeftoverFile {
public:
    LeftoverFile(const std::string& file_name, size_t size) : path_(shm_directory() + "/" + file_name) {
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0) << path_;
        if (fd >= 0) {
            EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
            ::close(fd);
        }
    }
    ~LeftoverFile() { ::unlink(path_.c_str()); }
    LeftoverFile(const LeftoverFile&) = delete;
    LeftoverFile& operator=(const LeftoverFile&) = delete;

private:
    std::string path_;
};

TEST(SystemsPosix, ObjectNamesAreDecodedFromTheirFiles) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx") + " \xff%.-";
    Tarnvel node("n", system, recv, 4096);
    const std::string mailbox = recv + "_" + std::to_string(node.pid());
    const auto found = mappings_named(mailbox);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, mailbox);
    EXPECT_FALSE(found[0].cut);
    EXPECT_EQ(shm_directory() + "/" + found[0].platform_name, shm_object_path(SHM_MAPPING, mailbox));
    EXPECT_EQ(found[0].location, shm_object_path(SHM_MAPPING, mailbox));
}

TEST(SystemsPosix, ACutBookNameShowsItsStartAndStillExistsByItsWholeName) {
    const std::string tag = unique_name("L");
    const std::string system = tag + std::string(MAX_SYSTEM_NAME_BYTES - tag.size(), 'x');
    Tarnvel node("n", system, unique_name("rx"), 4096);
    EXPECT_TRUE(system_exists(system));
    EXPECT_EQ(system_nodes(system).value().at(0).node_name, "n");
    const std::vector<SystemInfo> systems = list_systems();
    const auto cut = std::find_if(systems.begin(), systems.end(),
                                  [&](const SystemInfo& s) { return s.name.empty() && system.starts_with(s.prefix); });
    ASSERT_NE(cut, systems.end());
    // The file prefix, "map." and the rest of 238 bytes of the name, then '~' and the hash.
    EXPECT_EQ(cut->prefix, system.substr(0, 238 - (shm_file_prefix() + "map.").size()));
    EXPECT_EQ(cut->object_name.size(), 255u);
    EXPECT_EQ(cut->location, shm_directory() + "/" + cut->object_name);
}

// A node constructed by a test running beside this one may sweep the file
// away at any moment; either way the system does not exist.
TEST(SystemsPosix, ALeftoverBookDoesNotExist) {
    const std::string system = unique_name("Dead");
    LeftoverFile book(shm_file_prefix() + "map." + system + "_tarnvel_v_0_0_1", 32768);
    EXPECT_FALSE(system_exists(system));
    EXPECT_FALSE(system_nodes(system).has_value());
}

TEST(SystemsPosix, FilesThisLibraryDidNotNameAreLeftOut) {
    const std::string tag = unique_name("Foreign");
    LeftoverFile bad_escape(shm_file_prefix() + "map." + tag + "%zz", 16);
    LeftoverFile escaped_kept_byte(shm_file_prefix() + "map." + tag + "%41", 16);
    LeftoverFile lower_case_digits(shm_file_prefix() + "map." + tag + "%ff", 16);
    const std::string fifo = shm_directory() + "/" + shm_file_prefix() + "map." + tag + "_fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(mappings_named(tag).empty());
    ::unlink(fifo.c_str());
}

}  // namespace
}  // namespace tarnvel::test
