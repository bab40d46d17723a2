# Cross builds with zig's C and C++ compilers (PyPI's ziglang, pinned in
# requirements-dev.txt). zig brings the target's libc headers and stubs (a
# chosen glibc version, or macOS's SDK headers) and its own libc++, which is
# linked statically: the programs and the module need only the C library.
# Nothing of the build machine's /usr/include is on the include path; the
# header-only libraries the build needs are copied (CMakeLists.txt,
# TQ_HOST_HEADERS).
#
# The including file sets TQ_ZIG_TARGET, CMAKE_SYSTEM_NAME and
# CMAKE_SYSTEM_PROCESSOR. zig is PLENKO_ZIG (cache or environment), else the
# one in the project's .venv, else the one of `python3 -m ziglang`, else
# `zig` on PATH.
set(CMAKE_SYSTEM_VERSION 1)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TQ_ZIG_TARGET PLENKO_ZIG)

if(NOT PLENKO_ZIG AND DEFINED ENV{PLENKO_ZIG})
  set(PLENKO_ZIG $ENV{PLENKO_ZIG})
endif()
if(NOT PLENKO_ZIG)
  file(GLOB venv_zig ${CMAKE_CURRENT_LIST_DIR}/../../../.venv/lib/python3*/site-packages/ziglang/zig)
  if(venv_zig)
    list(GET venv_zig 0 PLENKO_ZIG)
  else()
    find_program(python_for_zig NAMES python3)
    if(python_for_zig)
      execute_process(COMMAND ${python_for_zig} -c "import os, ziglang; print(os.path.dirname(ziglang.__file__))"
                      OUTPUT_VARIABLE ziglang_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(ziglang_dir AND EXISTS ${ziglang_dir}/zig)
        set(PLENKO_ZIG ${ziglang_dir}/zig)
      endif()
    endif()
    if(NOT PLENKO_ZIG)
      find_program(PLENKO_ZIG zig)
    endif()
  endif()
endif()
if(NOT PLENKO_ZIG OR NOT EXISTS ${PLENKO_ZIG})
  message(FATAL_ERROR "zig not found: install requirements-dev.txt into .venv (scripts/setup) or set PLENKO_ZIG")
endif()
get_filename_component(PLENKO_ZIG ${PLENKO_ZIG} REALPATH)
set(PLENKO_ZIG ${PLENKO_ZIG} CACHE FILEPATH "the zig executable of the cross build")

set(CMAKE_C_COMPILER ${PLENKO_ZIG} cc -target ${TQ_ZIG_TARGET})
set(CMAKE_CXX_COMPILER ${PLENKO_ZIG} c++ -target ${TQ_ZIG_TARGET})
# CMake runs the archiver as one program: small wrappers around `zig ar` and
# `zig ranlib`, beside the build.
set(tq_zig_bin ${CMAKE_BINARY_DIR}/zig-bin)
foreach(tool ar ranlib)
  if(NOT EXISTS ${tq_zig_bin}/${tool})
    file(WRITE ${tq_zig_bin}/${tool} "#!/bin/sh\nexec '${PLENKO_ZIG}' ${tool} \"$@\"\n")
    file(CHMOD ${tq_zig_bin}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
set(CMAKE_AR ${tq_zig_bin}/ar CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB ${tq_zig_bin}/ranlib CACHE FILEPATH "zig ranlib")

# Libraries and headers of the target only: none of the build machine's.
set(CMAKE_FIND_ROOT_PATH ${CMAKE_BINARY_DIR}/zig-sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zig writes debug information by default; a release build leaves it out
# (the module goes from 12 MB to a fraction of that).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_RELEASE_INIT "-s")
endforeach()
