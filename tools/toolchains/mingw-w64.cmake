# Windows x86-64 with MinGW-w64's g++ (Debian's g++-mingw-w64-x86-64), in its win32 thread
# model: the posix one would import libwinpthread-1.dll.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
# The GCC runtimes linked in, so that the module imports only the interpreter and the C runtime.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
