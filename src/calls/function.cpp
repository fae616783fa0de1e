// function.cpp: the function type: creation, calls into the binder, garbage collection, repr.
#include "calls/function.h"

#include "calls/binder.h"
#include "compat.h"

#include <cstddef>

namespace loss {

// The slot layout differs between versions: fn_type_ready fills the slots by name,
// so only the head is initialised here (CMakeLists.txt keeps GCC and Clang quiet about it).
PyTypeObject FnType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    return bind(as_fn(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}

int fn_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    FnObject *fn = as_fn(self);
    Py_VISIT(fn->module);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->code);
    Py_VISIT(fn->varnames);
    Py_VISIT(fn->arg_defaults);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->is_coroutine);
    return 0;
}

// The qualified name, globals, code, variable names and argument defaults stay until dealloc: repr,
// pickling and calls read them without a check, and the objects they point to
// break any cycle through them with their own clear.
int fn_clear(PyObject *self) noexcept {
    FnObject *fn = as_fn(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->is_coroutine);
    return 0;
}

void fn_dealloc(PyObject *self) noexcept {
    FnObject *fn = as_fn(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->varnames);
    Py_CLEAR(fn->arg_defaults);
    PyObject_GC_Del(self);
}

/// Through an instance, a bound method; through the class, the function itself.
PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (!obj || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

PyObject *fn_repr(PyObject *self) noexcept {
    // A reference of our own: without the GIL another thread may assign __qualname__ meanwhile.
    PyObject *qualname;
    Py_BEGIN_CRITICAL_SECTION(self);
    qualname = new_ref(as_fn(self)->qualname);
    Py_END_CRITICAL_SECTION();
    PyObject *repr = PyUnicode_FromFormat("<vorlet %U at %p>", qualname, self);
    Py_DECREF(qualname);
    return repr;
}

}  // namespace

int fn_type_ready() noexcept {
    if (FnType.tp_flags & Py_TPFLAGS_READY) return 0;
    FnType.tp_name = "loss.vorlet";
    FnType.tp_doc = "A function of the loss module.";
    FnType.tp_basicsize = sizeof(FnObject);
    FnType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    FnType.tp_vectorcall_offset = offsetof(FnObject, vectorcall);
    FnType.tp_call = PyVectorcall_Call;
    FnType.tp_dealloc = fn_dealloc;
    FnType.tp_traverse = fn_traverse;
    FnType.tp_clear = fn_clear;
    FnType.tp_repr = fn_repr;
    FnType.tp_descr_get = fn_descr_get;
    FnType.tp_weaklistoffset = offsetof(FnObject, weakrefs);
    FnType.tp_dictoffset = offsetof(FnObject, dict);
    FnType.tp_getset = fn_getset;
    FnType.tp_methods = fn_methods;
    return PyType_Ready(&FnType);
}

FnObject *fn_new(const FnRow &row, PyObject *qualname, PyObject *module, PyObject *globals, PyObject *code,
                 PyObject *varnames) noexcept {
    Ref arg_defaults = Ref::steal(row.defaults ? row.defaults() : nullptr);
    if (row.defaults && !arg_defaults) return nullptr;
    FnObject *fn = PyObject_GC_New(FnObject, &FnType);
    if (!fn) return nullptr;
    fn->row = &row;
    fn->module = new_ref(module);
    fn->weakrefs = nullptr;
    fn->vectorcall = fn_vectorcall;
    fn->dict = nullptr;
    fn->name = nullptr;
    fn->qualname = new_ref(qualname);
    fn->doc = nullptr;
    fn->globals = new_ref(globals);
    fn->code = new_ref(code);
    fn->varnames = new_ref(varnames);
    bool at_def = arg_defaults && row.shown == ShownDefaults::at_def;
    fn->defaults = at_def ? new_ref(arg_defaults.get()) : nullptr;
    fn->defaults_pending = arg_defaults && !at_def;
    fn->arg_defaults = arg_defaults.release();
    fn->kwdefaults = nullptr;
    fn->annotations = nullptr;
    fn->is_coroutine = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(fn));
    // As the interpreter's own functions: without the GIL, frames then hold it without a count of
    // their own, so threads that call it do not contend for one. The collector alone frees it.
    PyUnstable_Object_EnableDeferredRefcount(reinterpret_cast<PyObject *>(fn));
    return fn;
}

}  // namespace loss
