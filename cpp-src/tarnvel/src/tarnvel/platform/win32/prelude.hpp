// Included ahead of every translation unit of a Windows build (-include, set
// in cpp-src/tarnvel/CMakeLists.txt). <windows.h>, which Asio brings in,
// defines STATUS_TIMEOUT as a macro that would silently replace
// tarnvel::STATUS_TIMEOUT (with 0x102) wherever it is included first. Taking
// it in here and dropping the macro keeps it out for good: the header's
// include guard stops it from coming back.
#pragma once

#include <winsock2.h>
#include <windows.h>

#undef STATUS_TIMEOUT
