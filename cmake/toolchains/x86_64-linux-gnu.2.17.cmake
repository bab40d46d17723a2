# Linux x86_64, glibc 2.17 and newer (manylinux2014), with zig: the C++ runtime
# linked in, so programs and the module need only libc, libm and libpthread.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TQ_ZIG_TARGET x86_64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig/zig.cmake)
