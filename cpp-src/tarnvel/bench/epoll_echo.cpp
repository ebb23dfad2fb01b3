#include "epoll_echo.hpp"

#include "uds_echo.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <system_error>
#include <vector>

namespace tarnvel::bench {

namespace {

[[noreturn]] void throw_errno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

sockaddr_un address_of(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// One client's buffers; answers are buffered rather than blocked on, as in
// uds_echo, so a client that sends a whole window first cannot deadlock.
struct Connection {
    explicit Connection(int socket) : fd(socket) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd;
    EchoBuffers buffers{1 << 16};
    std::vector<uint8_t>& out = buffers.out;
    size_t& out_sent = buffers.out_sent;
    bool want_out = false;

    ~Connection() { ::close(fd); }

    // False once the connection is done with.
    bool on_readable() {
        for (;;) {
            const ssize_t got = buffers.receive(fd);
            if (got == 0) return false;
            if (got < 0) return errno == EAGAIN || errno == EINTR;
            if (static_cast<size_t>(got) < buffers.in.size()) return true;
        }
    }

    bool flush() {
        while (out_sent < out.size()) {
            ssize_t put = ::send(fd, out.data() + out_sent, out.size() - out_sent, MSG_NOSIGNAL);
            if (put < 0) return errno == EAGAIN || errno == EINTR;
            out_sent += static_cast<size_t>(put);
        }
        out.clear();
        out_sent = 0;
        return true;
    }
};

}  // namespace

int connect_unix(const std::string& path) {
    sockaddr_un address = address_of(path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw_errno("socket");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int code = errno;
        ::close(fd);
        throw std::system_error(code, std::generic_category(), "connect " + path);
    }
    return fd;
}

int run_epoll_echo_server(const std::string& path) {
    sockaddr_un address = address_of(path);
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0) return 1;
    ::unlink(path.c_str());
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0)
        return 1;
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return 1;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    event.data.fd = 0;  // the lifeline
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, 0, &event);
    if (::write(1, "ready\n", 6) != 6) return 1;

    std::map<int, std::unique_ptr<Connection>> connections;
    epoll_event events[64];
    for (;;) {
        int count = ::epoll_wait(epoll, events, 64, -1);
        if (count < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == 0) {
                ::unlink(path.c_str());
                return 0;
            }
            if (fd == listener) {
                for (int client; (client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
                    epoll_event added{};
                    added.events = EPOLLIN;
                    added.data.fd = client;
                    ::epoll_ctl(epoll, EPOLL_CTL_ADD, client, &added);
                    connections.emplace(client, std::make_unique<Connection>(client));
                }
                continue;
            }
            auto found = connections.find(fd);
            if (found == connections.end()) continue;
            Connection& c = *found->second;
            bool alive = true;
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) alive = c.on_readable();
            if (alive) alive = c.flush();
            if (!alive) {
                ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
                connections.erase(found);
                continue;
            }
            // Watch for room only while answers wait.
            bool want_out = !c.out.empty();
            if (want_out != c.want_out) {
                epoll_event changed{};
                changed.events = EPOLLIN | (want_out ? EPOLLOUT : 0u);
                changed.data.fd = fd;
                ::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &changed);
                c.want_out = want_out;
            }
        }
    }
    return 1;
}

}  // namespace tarnvel::bench
