// Included ahead of every translation unit of the library's own Windows build
// and of its tests (-include, set in cpp-src/tarnvel/CMakeLists.txt), never of
// a consumer's. <windows.h>, which Asio brings in, defines STATUS_TIMEOUT as a
// macro that would replace tarnvel::STATUS_TIMEOUT (with 0x102) wherever it
// comes after the public header, whose own guard covers only the other order.
// Taking it in here and dropping the macro keeps it out for good: the
// header's include guard stops it from coming back.
#pragma once

#include <windows.h>
#include <winsock2.h>

#undef STATUS_TIMEOUT
