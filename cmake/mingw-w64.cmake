# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model, for std::thread and std::mutex).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTARNVEL_WIN32_DEPS=<prefix> ...
#
# TARNVEL_WIN32_DEPS is a prefix holding what the target needs besides the
# compiler: Boost headers in include/ and GoogleTest built for Windows.
# Nothing of the build machine's own /usr is searched, so its Boost is never
# picked up. Programs are linked statically so that Wine (or Windows) runs
# them without the MinGW runtime DLLs on its path.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNVEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNVEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNVEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNVEL_MINGW_TRIPLET}-windres)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNVEL_WIN32_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${TARNVEL_MINGW_TRIPLET})
if(TARNVEL_WIN32_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TARNVEL_WIN32_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Boost is used header-only: find it by its headers alone.
set(Boost_NO_BOOST_CMAKE ON)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(TARNVEL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TARNVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNVEL_WINE})
endif()
