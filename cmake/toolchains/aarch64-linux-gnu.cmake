# Linux on 64-bit ARM with Debian's cross compiler (g++-aarch64-linux-gnu).
# The tests and the program run under qemu-aarch64 (qemu-user), which finds
# the target's loader and libraries under the Debian cross sysroot.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(PCMTAPER_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${PCMTAPER_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PCMTAPER_CROSS_TRIPLE}-g++)

set(PCMTAPER_CROSS_SYSROOT /usr/${PCMTAPER_CROSS_TRIPLE} CACHE PATH "The target's libraries and loader")
set(CMAKE_FIND_ROOT_PATH ${PCMTAPER_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs every test command through this; the end-to-end tests also put it
# in front of the program they start (no binfmt handler is assumed).
find_program(PCMTAPER_QEMU_AARCH64 qemu-aarch64)
if(PCMTAPER_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PCMTAPER_QEMU_AARCH64} -L ${PCMTAPER_CROSS_SYSROOT})
endif()
