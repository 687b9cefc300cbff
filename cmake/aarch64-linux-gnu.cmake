# Cross build for 64-bit Arm Linux with Debian's aarch64 cross toolchain
# (g++-aarch64-linux-gnu) and the arm64 libraries that dpkg's multiarch
# installs beside the machine's own (libicu-dev:arm64 and so on; see
# scripts/install-deps arm64). Used by the arm64 preset.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch keeps the arm64 libraries and their CMake files under
# /usr/lib/aarch64-linux-gnu and shares /usr/include and /usr/share with the
# machine's own packages; the cross toolchain's runtime is under
# /usr/aarch64-linux-gnu. Libraries, headers and packages are looked for
# only there, under the library architecture's folders, so that none of the
# machine's own x86-64 libraries is picked up; programs are the machine's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest, and gtest_discover_tests when it lists a test executable's tests,
# run the aarch64 programs through qemu-user (Debian's qemu-user). It runs a
# statically linked program well, threads and all; a dynamically linked one
# would need `-L /usr/aarch64-linux-gnu` and, with qemu 7.2, hangs at its
# first thread, hence the static arm64 preset.
find_program(SPANSIFT_QEMU_AARCH64 qemu-aarch64 qemu-aarch64-static)
if(SPANSIFT_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SPANSIFT_QEMU_AARCH64})
endif()
