# Windows x86_64 from Debian's MinGW-w64 (the posix threads variant, for
# std::thread and std::mutex). Programs of the build run under wine64 when it
# is installed: the dissector generator, and the tests through ctest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Windows 10 APIs (if_nametoindex, WSA_FLAG_NO_HANDLE_INHERIT).
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00)
# The C++ runtime inside each program and module, so that it runs with only
# the system's DLLs (and, for the extension module, python3.dll).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
foreach(candidate /usr/lib/wine/wine64 /usr/bin/wine64 /usr/bin/wine)
  if(EXISTS ${candidate})
    set(CMAKE_CROSSCOMPILING_EMULATOR ${candidate})
    break()
  endif()
endforeach()
