# Cross builds with zig's clang (`python -m ziglang`, from PyPI). Set on the command line:
#   ZIG_TARGET        x86_64-windows-gnu (the UCRT, as python313.dll) or
#                     x86_64-linux-gnu.2.17 (glibc 2.17: the manylinux2014 baseline)
#   ZIG_PYTHON        an interpreter with the ziglang package installed
#   ZIG_CACHE         zig's cache folder (its C++ runtime is built there once per target)
if(NOT ZIG_TARGET OR NOT ZIG_PYTHON OR NOT ZIG_CACHE)
  message(FATAL_ERROR "set ZIG_TARGET, ZIG_PYTHON and ZIG_CACHE")
endif()

if(ZIG_TARGET MATCHES "windows")
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
# For Linux the system stays this machine's (no cross-compiling): FindPython asks the
# interpreter for the extension suffix as usual.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_TARGET ZIG_PYTHON ZIG_CACHE)

# CMake wants one program per tool: small wrappers in the build tree.
set(_zig_bin "${CMAKE_CURRENT_BINARY_DIR}/zig-bin")
foreach(_tool c++ ar ranlib)
  string(REPLACE "+" "x" _name "zig-${_tool}")
  if(_tool STREQUAL "c++")
    set(_args "c++ -target ${ZIG_TARGET}")
  else()
    set(_args "${_tool}")
  endif()
  file(WRITE "${_zig_bin}/${_name}"
       "#!/bin/sh\nZIG_GLOBAL_CACHE_DIR='${ZIG_CACHE}' ZIG_LOCAL_CACHE_DIR='${ZIG_CACHE}' exec '${ZIG_PYTHON}' -m ziglang ${_args} \"$@\"\n")
  file(CHMOD "${_zig_bin}/${_name}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${_zig_bin}/zig-cxx")
set(CMAKE_AR "${_zig_bin}/zig-ar")
set(CMAKE_RANLIB "${_zig_bin}/zig-ranlib")

set(CMAKE_COMPILE_WARNING_AS_ERROR ON)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
