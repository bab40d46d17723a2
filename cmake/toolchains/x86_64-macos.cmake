# macOS x86_64 (11 and newer), with zig and the macOS headers zig carries; the
# C++ runtime (zig's libc++) linked in, so programs need only libSystem.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TQ_ZIG_TARGET x86_64-macos.11.0)
set(CMAKE_OSX_DEPLOYMENT_TARGET "")
include(${CMAKE_CURRENT_LIST_DIR}/zig/zig.cmake)
