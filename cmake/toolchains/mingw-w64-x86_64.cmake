# Windows x86-64 with Debian's MinGW-w64 cross compiler (g++-mingw-w64-x86-64).
# Its posix thread model: GoogleTest needs std::mutex, which GCC 12's win32
# model lacks; winpthread is linked in statically like the rest. The tests and
# the program run under wine64.
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PCMTAPER_CROSS_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PCMTAPER_CROSS_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PCMTAPER_CROSS_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PCMTAPER_CROSS_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PCMTAPER_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the C++ runtime and libgcc linked in, so that it
# needs only the DLLs every Windows has (KERNEL32, msvcrt).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs every test command through wine64 (Debian installs it outside
# PATH). Headless: no debug chatter, no offer to install Mono or Gecko. Its
# state lives in the build directory (the first run there sets it up, a few
# seconds) unless WINEPREFIX is set when configuring. Wine processes that
# start together with no server running race to start one (and, on a fresh
# prefix, to set it up): .ci/cross sets the prefix up first and keeps one
# server running while the suite runs in parallel.
find_program(PCMTAPER_WINE64 NAMES wine64 wine HINTS /usr/lib/wine)
if(DEFINED ENV{WINEPREFIX})
  set(PCMTAPER_WINEPREFIX "$ENV{WINEPREFIX}" CACHE PATH "Wine's state directory for the tests")
else()
  set(PCMTAPER_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine's state directory for the tests")
endif()
if(PCMTAPER_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${PCMTAPER_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
      ${PCMTAPER_WINE64})
endif()
