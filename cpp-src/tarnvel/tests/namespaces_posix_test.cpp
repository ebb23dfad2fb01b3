// Per-user object places on Linux: the rule that picks a user's folder, and
// a second user (run under another uid) who squats names before we start.
#include "platform/linux/object_names.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel::test {
namespace {

using platform::detail::choose_object_place;
using platform::detail::object_path;
using platform::detail::ObjectKind;
using platform::detail::ObjectPlace;

constexpr auto LINE_LIMIT = std::chrono::seconds(20);

// A fresh directory of ours with the given mode; removed with what is in it.
class TempDir {
public:
    explicit TempDir(mode_t mode) {
        char pattern[] = "/tmp/tarnvel_ns_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
        if (!path_.empty()) {
            ::chmod(path_.c_str(), mode);
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(NamespacesPosix, RuntimeDirIsUsedOnlyWhenItIsThisUsersAndPrivate) {
    const uid_t me = ::geteuid();
    TempDir private_dir(0700);
    TempDir open_dir(0755);
    ASSERT_FALSE(private_dir.path().empty());

    const ObjectPlace chosen = choose_object_place(private_dir.path().c_str(), me);
    EXPECT_EQ(chosen.directory, private_dir.path());
    EXPECT_EQ(chosen.file_prefix, "tarnvel.");

    const auto falls_back = [&](const char* runtime_dir, uid_t uid) {
        const ObjectPlace place = choose_object_place(runtime_dir, uid);
        const ObjectPlace expected{"/dev/shm", "tarnvel." + std::to_string(uid) + "."};
        return place.directory == expected.directory && place.file_prefix == expected.file_prefix;
    };
    EXPECT_TRUE(falls_back(nullptr, me));
    EXPECT_TRUE(falls_back("", me));
    EXPECT_TRUE(falls_back(open_dir.path().c_str(), me)) << "readable by others";
    EXPECT_TRUE(falls_back(private_dir.path().c_str(), me + 1)) << "another user's";
    EXPECT_TRUE(falls_back((private_dir.path() + "/missing").c_str(), me));
    const std::string relative = std::filesystem::relative(private_dir.path(), "/").string();
    EXPECT_TRUE(falls_back(relative.c_str(), me)) << "relative paths are not taken";
    const std::string file = private_dir.path() + "/file";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0700));
    EXPECT_TRUE(falls_back(file.c_str(), me)) << "not a directory";
    // Two users never share a name in the shared folder.
    EXPECT_NE(object_path(choose_object_place(nullptr, me), ObjectKind::map, "s"),
              object_path(choose_object_place(nullptr, me + 1), ObjectKind::map, "s"));
}

// Another user, and programs run as that user (or as us) with a chosen
// XDG_RUNTIME_DIR; needs root to switch users.
class Squatter : public ::testing::Test {
protected:
    void SetUp() override {
        const passwd* nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || nobody == nullptr || ::access(SETPRIV, X_OK) != 0) {
            GTEST_SKIP() << "needs root, a user 'nobody' and setpriv";
        }
        other_uid_ = nobody->pw_uid;
        system_ = unique_name("ns");
    }

    void TearDown() override {
        for (const auto& path : squatted_) {
            ::unlink(path.c_str());
        }
    }

    // Creates the files as the other user, as a squatter would.
    void squat(const std::vector<std::string>& paths) {
        std::vector<std::string> args{"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/touch"};
        args.insert(args.end(), paths.begin(), paths.end());
        ChildProcess touch(SETPRIV, args);
        ASSERT_EQ(touch.wait(LINE_LIMIT), std::optional<int>(0));
        squatted_.insert(squatted_.end(), paths.begin(), paths.end());
    }

    // tarnvel_peer with `args`, as the other user or as us, with
    // XDG_RUNTIME_DIR set to `runtime_dir` (unset when empty).
    ChildProcess peer(bool as_other_user, const std::string& runtime_dir, const std::vector<std::string>& args) {
        std::vector<std::string> all;
        if (as_other_user) {
            all = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/env"};
        }
        if (runtime_dir.empty()) {
            all.insert(all.end(), {"-u", "XDG_RUNTIME_DIR"});
        } else {
            all.push_back("XDG_RUNTIME_DIR=" + runtime_dir);
        }
        all.push_back(peer_program());
        all.insert(all.end(), args.begin(), args.end());
        return ChildProcess(as_other_user ? SETPRIV : "/usr/bin/env", all);
    }

    std::vector<std::string> hold(const std::string& node) const {
        return {"hold", node, system_, unique_name("rx"), "4096"};
    }

    static std::string first_line(ChildProcess& process) {
        return process.read_line(LINE_LIMIT).value_or("<no output>");
    }

    std::string shared_book(uid_t uid) const {
        return object_path(choose_object_place(nullptr, uid), ObjectKind::map, system_ + "_tarnvel_v_0_0_1");
    }

    static constexpr const char* SETPRIV = "/usr/bin/setpriv";
    uid_t other_uid_ = 0;
    std::string system_;
    std::vector<std::string> squatted_;
};

TEST_F(Squatter, AnotherUsersSystemOfTheSameNameIsASeparateSystem) {
    // The names every user shared before, and the other user's own system.
    squat({"/dev/shm/tarnvel.map." + system_ + "_tarnvel_v_0_0_1",
           "/dev/shm/tarnvel.mtx." + system_ + "_tarnvelmtx_v_0_0_1"});
    ChildProcess theirs = peer(true, "", hold("theirs"));
    const std::string their_ready = first_line(theirs);
    ASSERT_EQ(their_ready.rfind("ready ", 0), 0u) << their_ready;
    struct stat st {};
    ASSERT_EQ(::stat(shared_book(other_uid_).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, other_uid_);

    ChildProcess ours = peer(false, "", hold("ours"));
    const std::string our_ready = first_line(ours);
    ASSERT_EQ(our_ready.rfind("ready ", 0), 0u) << our_ready;
    ASSERT_EQ(::stat(shared_book(0).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);

    // Our system knows only our node.
    ChildProcess lister = peer(false, "",
                               {"call", "lister", system_, unique_name("rx"), "4096", "ours", our_ready.substr(6),
                                "sys.list_nodes", "", "5000"});
    const std::string listed = first_line(lister);
    EXPECT_EQ(listed.rfind("result 0 ", 0), 0u) << listed;
    EXPECT_NE(listed.find("ours"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("theirs"), std::string::npos) << listed;
}

TEST_F(Squatter, PrivateRuntimeDirKeepsSquattedSharedNamesOutOfTheWay) {
    // The names our own objects would have in the shared folder.
    const std::string shared_mutex =
        object_path(choose_object_place(nullptr, 0), ObjectKind::mtx, system_ + "_tarnvelmtx_v_0_0_1");
    squat({shared_book(0), shared_mutex});

    // Without a private folder, a name taken first is lost: refused, never
    // used.
    ChildProcess blocked = peer(false, "", hold("blocked"));
    const std::string refusal = first_line(blocked);
    EXPECT_EQ(refusal.rfind("error ", 0), 0u) << refusal;

    TempDir runtime(0700);
    ASSERT_FALSE(runtime.path().empty());
    ChildProcess ours = peer(false, runtime.path(), hold("ours"));
    const std::string ready = first_line(ours);
    ASSERT_EQ(ready.rfind("ready ", 0), 0u) << ready;
    const ObjectPlace place{runtime.path(), "tarnvel."};
    EXPECT_TRUE(std::filesystem::exists(object_path(place, ObjectKind::map, system_ + "_tarnvel_v_0_0_1")));

    // The other user cannot even look into it.
    ChildProcess intruder = peer(true, runtime.path(), hold("intruder"));
    const std::string intruder_ready = first_line(intruder);
    ASSERT_EQ(intruder_ready.rfind("ready ", 0), 0u) << intruder_ready;
    EXPECT_TRUE(std::filesystem::exists(shared_book(other_uid_))) << "the folder is not the other user's";

    ChildProcess lister = peer(
        false, runtime.path(),
        {"call", "lister", system_, unique_name("rx"), "4096", "ours", ready.substr(6), "sys.list_nodes", "", "5000"});
    const std::string listed = first_line(lister);
    EXPECT_EQ(listed.rfind("result 0 ", 0), 0u) << listed;
    EXPECT_EQ(listed.find("intruder"), std::string::npos) << listed;
}

}  // namespace
}  // namespace tarnvel::test
