# zig's clang for the target ZIG_TARGET, which the including toolchain file sets. ZIG names
# the zig executable (tools/cross.sh passes it); try_compile's projects get it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG ZIG_TARGET)
if(NOT ZIG)
  message(FATAL_ERROR "zig toolchain: pass -DZIG=/path/to/zig")
endif()
set(CMAKE_CXX_COMPILER "${ZIG}" c++ -target ${ZIG_TARGET})
# zig c++ adds debug information unless told not to.
set(CMAKE_CXX_FLAGS_INIT -g0)
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  # Read after CMake's rules for Darwin, to replace their -bundle.
  set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/zig-macos-module.cmake)
endif()
