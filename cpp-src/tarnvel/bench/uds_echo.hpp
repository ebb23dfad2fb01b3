// The baseline: an echo server and its client over a Unix stream socket.
// Messages are a 4-byte length followed by the payload, the least framing a
// real protocol on a stream would need.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnvel::bench {

// Serves the socket on descriptor fd until the peer closes it. Reads whatever
// has arrived and answers every complete message, buffering answers rather
// than blocking on them, so a client that sends a whole window before reading
// can never deadlock against it.
int run_uds_echo_server(int fd);

// What an echo server has read from one client and owes it: every complete
// message read is copied, header and all, to `out`.
struct EchoBuffers {
    explicit EchoBuffers(size_t size) : in(size) {}

    // One recv into the free end of `in` (room made first); answers the
    // messages it completes. The recv's result.
    ssize_t receive(int fd);

    std::vector<uint8_t> in;
    size_t in_begin = 0;
    size_t in_end = 0;
    std::vector<uint8_t> out;
    size_t out_sent = 0;
};

class UdsClient {
public:
    explicit UdsClient(int fd) : fd_(fd), buffer_(1 << 18) {}

    // Throws std::system_error when the socket fails.
    void send(const std::vector<uint8_t>& payload);
    // Blocks for the next answer; returns its payload, which stays valid
    // until the next call.
    std::pair<const uint8_t*, size_t> receive();

private:
    int fd_;
    std::vector<uint8_t> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace tarnvel::bench
