# macOS aarch64 (11 and newer), with zig and the macOS headers zig carries; the
# C++ runtime (zig's libc++) linked in, so programs need only libSystem.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(TQ_ZIG_TARGET aarch64-macos.11.0)
set(CMAKE_OSX_DEPLOYMENT_TARGET "")
include(${CMAKE_CURRENT_LIST_DIR}/zig/zig.cmake)
