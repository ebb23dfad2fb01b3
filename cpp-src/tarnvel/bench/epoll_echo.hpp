// The fan-in baseline: one process serving many clients over Unix stream
// sockets with epoll, the same framing as uds_echo (a 4-byte length and the
// payload, echoed).
#pragma once

#include <string>

namespace tarnvel::bench {

// Listens on `path`, prints "ready" on stdout, then echoes every complete
// message of every connection until stdin reports end of file.
int run_epoll_echo_server(const std::string& path);

// Connects to the server at `path`; throws std::system_error on failure.
int connect_unix(const std::string& path);

}  // namespace tarnvel::bench
