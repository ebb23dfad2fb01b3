#include "uds_echo.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tarnvel::bench {

namespace {

uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[noreturn]] void throw_errno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

ssize_t EchoBuffers::receive(int fd) {
    if (in.size() - in_end < 4096) {
        std::memmove(in.data(), in.data() + in_begin, in_end - in_begin);
        in_end -= in_begin;
        in_begin = 0;
        if (in.size() - in_end < 4096) in.resize(in.size() * 2);
    }
    const ssize_t got = ::recv(fd, in.data() + in_end, in.size() - in_end, 0);
    if (got <= 0) return got;
    in_end += static_cast<size_t>(got);
    while (in_end - in_begin >= 4) {
        const size_t whole = 4 + load_u32(in.data() + in_begin);
        if (in_end - in_begin < whole) break;
        out.insert(out.end(), in.data() + in_begin, in.data() + in_begin + whole);
        in_begin += whole;
    }
    return got;
}

int run_uds_echo_server(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return 1;

    EchoBuffers buffers(1 << 18);
    std::vector<uint8_t>& out = buffers.out;
    size_t& out_sent = buffers.out_sent;
    bool peer_open = true;

    while (peer_open || out_sent < out.size()) {
        pollfd p{fd, static_cast<short>((peer_open ? POLLIN : 0) | (out_sent < out.size() ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (p.revents & (POLLERR | POLLNVAL)) return 0;
        if (peer_open && (p.revents & (POLLIN | POLLHUP))) {
            const ssize_t got = buffers.receive(fd);
            if (got == 0) {
                peer_open = false;
                out.clear();
                out_sent = 0;
            } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
                return 0;
            }
        }
        if (out_sent < out.size()) {
            ssize_t put = ::send(fd, out.data() + out_sent, out.size() - out_sent, MSG_NOSIGNAL);
            if (put < 0) {
                if (errno != EAGAIN && errno != EINTR) return 0;
            } else {
                out_sent += static_cast<size_t>(put);
                if (out_sent == out.size()) {
                    out.clear();
                    out_sent = 0;
                }
            }
        }
    }
    return 0;
}

void UdsClient::send(const std::vector<uint8_t>& payload) {
    uint32_t length = static_cast<uint32_t>(payload.size());
    iovec parts[2] = {{&length, sizeof length}, {const_cast<uint8_t*>(payload.data()), payload.size()}};
    size_t left = sizeof length + payload.size();
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    while (left > 0) {
        ssize_t put = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw_errno("send");
        }
        left -= static_cast<size_t>(put);
        // A partial write: move the vector past what went out.
        size_t done = static_cast<size_t>(put);
        while (message.msg_iovlen > 0 && done >= message.msg_iov[0].iov_len) {
            done -= message.msg_iov[0].iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen > 0) {
            message.msg_iov[0].iov_base = static_cast<uint8_t*>(message.msg_iov[0].iov_base) + done;
            message.msg_iov[0].iov_len -= done;
        }
    }
}

std::pair<const uint8_t*, size_t> UdsClient::receive() {
    for (;;) {
        size_t have = end_ - begin_;
        size_t whole = have >= 4 ? 4 + load_u32(buffer_.data() + begin_) : 4;
        if (have >= 4 && have >= whole) {
            const uint8_t* payload = buffer_.data() + begin_ + 4;
            begin_ += whole;
            return {payload, whole - 4};
        }
        // The message handed out by the previous call is spent by now, so the
        // partial one may move to the front.
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, have);
            begin_ = 0;
            end_ = have;
        }
        if (buffer_.size() < whole) buffer_.resize(whole);
        ssize_t got = ::recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw_errno("recv");
        }
        if (got == 0) throw std::system_error(std::make_error_code(std::errc::connection_reset), "recv");
        end_ += static_cast<size_t>(got);
    }
}

}  // namespace tarnvel::bench
