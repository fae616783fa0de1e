// compat.h: every difference between the CPython versions we build for (3.8 to 3.15).
#pragma once

#include <Python.h>
#include <frameobject.h>

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

// ---- APIs added in 3.9 to 3.14, for the versions before them ---------------
// Each is the newer API under its own name and signature, so that a shim goes
// when its last interpreter does and nothing else changes.

#if PY_VERSION_HEX < 0x03090000
/// Py_TPFLAGS_HAVE_VECTORCALL (3.9): 3.8 has it with a leading underscore.
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL

/// PyObject_Vectorcall (3.9): 3.8 has it with a leading underscore.
static inline PyObject *PyObject_Vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                                            PyObject *kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

/// PyObject_VectorcallMethod (3.9): 3.8 looks the method up and calls it.
static inline PyObject *PyObject_VectorcallMethod(PyObject *name, PyObject *const *args, size_t nargsf,
                                                  PyObject *kwnames) {
    PyObject *callable = PyObject_GetAttr(args[0], name);
    if (!callable) return nullptr;
    // The instance's slot becomes the spare leading slot of the call.
    PyObject *result = _PyObject_Vectorcall(callable, args + 1, nargsf - 1, kwnames);
    Py_DECREF(callable);
    return result;
}

/// PyInterpreterState_Get (3.9): 3.8 has it with a leading underscore.
static inline PyInterpreterState *PyInterpreterState_Get(void) { return _PyInterpreterState_Get(); }
#endif

#if PY_VERSION_HEX < 0x030B0000
/// PyUnstable_Code_NewWithPosOnlyArgs (3.12): before 3.11 there is no qualname nor exception
/// table, and the constructor adds CO_NOFREE; the flags stay as given.
static inline PyCodeObject *PyUnstable_Code_NewWithPosOnlyArgs(int argcount, int posonlyargcount, int kwonlyargcount,
                                                               int nlocals, int stacksize, int flags, PyObject *code,
                                                               PyObject *consts, PyObject *names, PyObject *varnames,
                                                               PyObject *freevars, PyObject *cellvars,
                                                               PyObject *filename, PyObject *name, PyObject *,
                                                               int firstlineno, PyObject *linetable, PyObject *) {
    PyCodeObject *co =
        PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags, code, consts,
                                  names, varnames, freevars, cellvars, filename, name, firstlineno, linetable);
    if (co) co->co_flags = flags;
    return co;
}
#elif PY_VERSION_HEX < 0x030C0000
/// PyUnstable_Code_NewWithPosOnlyArgs (3.12): 3.11's PyCode_NewWithPosOnlyArgs.
static inline PyCodeObject *PyUnstable_Code_NewWithPosOnlyArgs(
    int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize, int flags, PyObject *code,
    PyObject *consts, PyObject *names, PyObject *varnames, PyObject *freevars, PyObject *cellvars, PyObject *filename,
    PyObject *name, PyObject *qualname, int firstlineno, PyObject *linetable, PyObject *exceptiontable) {
    return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags, code, consts,
                                     names, varnames, freevars, cellvars, filename, name, qualname, firstlineno,
                                     linetable, exceptiontable);
}
#endif

#if PY_VERSION_HEX < 0x030C0000
/// PyErr_GetRaisedException (3.12): the pending exception as one object, its
/// traceback attached; the error indicator is cleared.
static inline PyObject *PyErr_GetRaisedException(void) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_DECREF(type);
    Py_XDECREF(tb);
    return value;
}

/// PyErr_SetRaisedException (3.12): makes `exc` (stolen) the pending exception;
/// nullptr clears it.
static inline void PyErr_SetRaisedException(PyObject *exc) {
    if (!exc) {
        PyErr_Restore(nullptr, nullptr, nullptr);
        return;
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030E0000
/// PyUnstable_Object_EnableDeferredRefcount (3.14): a hint that only free-threaded builds take;
/// 0, as it returns where it is not taken.
static inline int PyUnstable_Object_EnableDeferredRefcount(PyObject *) { return 0; }
#endif

namespace loss {

/// A frame for a traceback entry, with no locals of its own. Before 3.11 a
/// code object without CO_NEWLOCALS would take the globals as its locals.
inline PyFrameObject *traceback_frame(PyCodeObject *code, PyObject *globals) noexcept {
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

}  // namespace loss
