// The errors of SharedMapping::create, worded alike on every platform.
#pragma once

#include <string>
#include <string_view>

#include "tarnvel/tarnvel.hpp"

namespace tarnvel::platform::detail {

// "CreateFileMapping <role> failed": the object cannot be created or opened.
[[noreturn]] inline void throw_create_failed(std::string_view role) {
    const std::string message = "CreateFileMapping " + std::string(role) + " failed";
    throw Error(ErrorKind::os_failure, message.c_str());
}

// "MapViewOfFile <role> failed": it cannot be mapped, or is too small.
[[noreturn]] inline void throw_map_failed(std::string_view role) {
    const std::string message = "MapViewOfFile " + std::string(role) + " failed";
    throw Error(ErrorKind::os_failure, message.c_str());
}

}  // namespace tarnvel::platform::detail
