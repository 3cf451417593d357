# Cross-compiling for 64-bit ARM Linux with Debian's GNU cross toolchain
# (g++-aarch64-linux-gnu); target programs run under QEMU user-mode emulation
# (qemu-user), so ctest and test discovery work from an x86-64 host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(VELMAR_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${VELMAR_AARCH64_SYSROOT})

# Libraries and headers from the target's tree (plus whatever the caller adds
# to CMAKE_FIND_ROOT_PATH, such as a cross-built GoogleTest); programs from
# the host.
list(APPEND CMAKE_FIND_ROOT_PATH ${VELMAR_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
