// compat.h: every difference between the CPython versions we build for (3.8 to 3.15).
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

// The module's one exported symbol. 3.8's PyMODINIT_FUNC leaves visibility to
// the build outside Windows, and we build with hidden visibility.
#if PY_VERSION_HEX >= 0x03090000 || defined(_WIN32)
#define LOSS_MODINIT PyMODINIT_FUNC
#else
#define LOSS_MODINIT extern "C" __attribute__((visibility("default"))) PyObject *
#endif

// From 3.12 a module can tell the interpreter that it cannot be loaded into a
// second interpreter, which then refuses isolated interpreters by itself.
#if PY_VERSION_HEX >= 0x030C0000
#define LOSS_SLOT_ONE_INTERPRETER {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define LOSS_SLOT_ONE_INTERPRETER
#endif

// Free-threaded builds (3.13t on) ask each module whether it needs the GIL: without this slot
// importing it turns the GIL back on for the whole process. Default builds ignore the slot.
#if PY_VERSION_HEX >= 0x030D0000
#define LOSS_SLOT_GIL_NOT_USED {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define LOSS_SLOT_GIL_NOT_USED
#endif

// ---- APIs added in 3.13, as they behave on the versions before it ----------
// Free threading starts with 3.13, so before it every build has a GIL, and the GIL already
// does what the lock, the critical sections and the strong reads below are there for.
#if PY_VERSION_HEX < 0x030D0000
/// PyDict_GetItemRef (3.13): a dictionary read that returns a strong reference;
/// 1 found, 0 absent, -1 on error.
static inline int PyDict_GetItemRef(PyObject *mp, PyObject *key, PyObject **result) {
    PyObject *item = PyDict_GetItemWithError(mp, key);
    if (item) {
        Py_INCREF(item);
        *result = item;
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

/// PyImport_AddModuleRef (3.13): PyImport_AddModule returning a strong reference.
static inline PyObject *PyImport_AddModuleRef(const char *name) {
    PyObject *module = PyImport_AddModule(name);
    Py_XINCREF(module);
    return module;
}

/// PyMutex (3.13): a one-byte lock; under the GIL there is nothing to wait for.
struct PyMutex {
    unsigned char bits;
};
static inline void PyMutex_Lock(PyMutex *) {}
static inline void PyMutex_Unlock(PyMutex *) {}

/// Critical sections (3.13): plain scopes on default builds of every version.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace loss::compat {

// Vectorcall was provisional, with underscored names, in 3.8; public from 3.9.
#if PY_VERSION_HEX >= 0x03090000
inline constexpr unsigned long tpflags_vectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject *vectorcall(PyObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    return PyObject_Vectorcall(f, args, nargsf, kwnames);
}
#else
inline constexpr unsigned long tpflags_vectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject *vectorcall(PyObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    return _PyObject_Vectorcall(f, args, nargsf, kwnames);
}
#endif

/// Calls the method `name` of args[0] with args[1:]. From 3.9 the
/// interpreter does this without making a bound method; 3.8 looks it up.
inline PyObject *call_method(PyObject *name, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    PyObject *callable = PyObject_GetAttr(args[0], name);
    if (!callable) return nullptr;
    // The instance's slot becomes the spare leading slot of the call.
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf) - 1;
    PyObject *result = _PyObject_Vectorcall(callable, args + 1, static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    Py_DECREF(callable);
    return result;
#endif
}

/// The calling thread's interpreter (PyInterpreterState_Get is public from 3.9).
inline PyInterpreterState *interpreter() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return _PyInterpreterState_Get();
#endif
}

/// Id of the calling thread's interpreter.
inline int64_t interpreter_id() noexcept { return PyInterpreterState_GetID(interpreter()); }

/// Whether the calling thread runs in the process's main interpreter.
inline bool in_main_interpreter() noexcept { return interpreter() == PyInterpreterState_Main(); }

/// A code object with no bytecode. 3.11 adds qualname and the exception table;
/// 3.12 moves the constructor to the unstable API.
inline PyCodeObject *code_new(int argcount, int nlocals, int flags, PyObject *empty_bytes, PyObject *empty_tuple,
                              PyObject *varnames, PyObject *filename, PyObject *name, int firstlineno) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple,
                                              varnames, empty_tuple, empty_tuple, filename, name, name, firstlineno,
                                              empty_bytes, empty_bytes);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
                                     empty_tuple, empty_tuple, filename, name, name, firstlineno, empty_bytes,
                                     empty_bytes);
#else
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple,
                                                   empty_tuple, varnames, empty_tuple, empty_tuple, filename, name,
                                                   firstlineno, empty_bytes);
    // Before 3.11 the constructor adds CO_NOFREE; the flags stay as given.
    if (code) code->co_flags = flags;
    return code;
#endif
}

/// A frame for a traceback entry, with no locals of its own. Before 3.11 a
/// code object without CO_NEWLOCALS would take the globals as its locals.
inline PyFrameObject *frame_new(PyCodeObject *code, PyObject *globals) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
#else
    PyObject *locals = PyDict_New();
    if (!locals) return nullptr;
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, locals);
    Py_DECREF(locals);
    return frame;
#endif
}

/// The pending exception, taken out of the thread state and put back later
/// (3.12 keeps it as one object; before, as type, value and traceback).
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;
    /// Makes the saved exception current again, replacing any newer one.
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
#else
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
#endif
    }
    /// Drops the saved exception, leaving whatever is current.
    ~SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        Py_XDECREF(exc_);
#else
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc_ = nullptr;
#else
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
#endif
};

/// The interpreter's optimisation level (-O, -OO, PYTHONOPTIMIZE); -1 on error.
/// Py_OptimizeFlag is deprecated from 3.12 and goes in 3.16; 3.14 adds PyConfig_GetInt.
inline int optimization_level() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    int level = 0;
    return PyConfig_GetInt("optimization_level", &level) < 0 ? -1 : level;
#else
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    return Py_OptimizeFlag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
#endif
}

}  // namespace loss::compat
