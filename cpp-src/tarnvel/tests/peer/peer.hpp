// tarnvel_peer: the helper program that multi-process tests start. It talks
// to the test by lines: it prints "ready <pid>" once its node is up (or
// "error <message>" when construction fails) and reads commands ("quit",
// "release") from stdin; end of stdin counts as "quit".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::peer {

// Exit code when the node could not be constructed.
inline constexpr int EXIT_CONSTRUCTION_FAILED = 3;
inline constexpr int EXIT_USAGE = 2;

// Prints one line in a single write, so the lines of processes sharing one
// stdout never interleave.
void say(std::string_view line);

// serve/hold <node> <system> <recv> <bytes>: runs one node until "quit".
// With `with_methods` the node registers the test methods.
int run_node(const std::vector<std::string>& args, bool with_methods);

// hold-many <count> <node-prefix> <system> <recv-prefix> <bytes>: `count`
// processes holding one node each (node and recv names get the index
// appended); each prints its own "ready <pid>" line, all end at end of stdin.
int run_hold_many(const std::vector<std::string>& args);

// A forked child that keeps everything it inherited and idles, as the workers
// of a forking process pool do; its pid, or -1 where there is no fork().
int fork_idle_worker();

}  // namespace tarnvel::peer
