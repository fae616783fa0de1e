# macOS x86_64 with zig's clang, for the oldest macOS of python.org's installers (3.12 on).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZIG_TARGET x86_64-macos.10.13)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
