#include "peer/peer.hpp"

#include <cerrno>
#include <string>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarnvel::peer {

// Forking from this still single-threaded process is much cheaper than
// starting the program again for every holder, which matters when a test
// needs a whole book of processes (and even more under the sanitizers).
int run_hold_many(const std::vector<std::string>& args) {
    if (args.size() != 6) return EXIT_USAGE;
    const unsigned long count = std::stoul(args[1]);
    std::vector<pid_t> children;
    for (unsigned long i = 0; i < count; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int rc =
                run_node({"hold", args[2] + std::to_string(i), args[3], args[4] + std::to_string(i), args[5]}, false);
            ::_exit(rc);
        }
        if (pid < 0) {
            say("error fork failed");
            break;
        }
        children.push_back(pid);
    }
    int worst = 0;
    for (pid_t child : children) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) worst = 1;
    }
    return worst;
}

int fork_idle_worker() {
    // The parent answers only once the child runs: by then the child has let
    // go of everything it inherited, so its caller never races that.
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        // Out of this process's group, which the test kills as a whole, and
        // gone once the test closes this process's stdin.
        ::setpgid(0, 0);
        const char byte = 1;
        while (::write(ready[1], &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(ready[1]);
        char buffer[64];
        while (::read(0, buffer, sizeof buffer) > 0) {
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ssize_t got = 0;
    while ((got = ::read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    return pid > 0 && got == 1 ? pid : -1;
}

}  // namespace tarnvel::peer
