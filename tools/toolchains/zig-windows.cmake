# Windows x86-64 with zig's clang and the MinGW-w64 runtime that zig carries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZIG_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
