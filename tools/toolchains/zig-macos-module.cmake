# zig 0.17.1 crashes on -bundle, so the module is a dylib, which the interpreter loads all the
# same; FindPython's Python::Module adds -undefined dynamic_lookup.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS -shared)
