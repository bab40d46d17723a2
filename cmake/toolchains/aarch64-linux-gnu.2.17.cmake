# Linux aarch64, glibc 2.17 and newer (manylinux2014), with zig: the C++ runtime
# linked in, so programs and the module need only libc, libm and libpthread.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TQ_ZIG_TARGET aarch64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig/zig.cmake)
# The build runs one of its programs (the dissector generator): under qemu,
# with the aarch64 C library of PLENKO_AARCH64_ROOT (scripts/wheel unpacks
# Debian's there).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLENKO_AARCH64_ROOT)
find_program(TQ_QEMU_AARCH64 qemu-aarch64-static)
if(TQ_QEMU_AARCH64 AND PLENKO_AARCH64_ROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TQ_QEMU_AARCH64} -L ${PLENKO_AARCH64_ROOT})
endif()
