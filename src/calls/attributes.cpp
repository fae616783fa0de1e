// attributes.cpp: what a function object shows besides being callable.
#include "calls/function.h"
#include "calls/traceback.h"

#include "compat.h"

#include <cstring>

namespace loss {

namespace {

// Without the GIL each getter and setter runs in a critical section on the function object,
// as CPython's own functions' do: a lazily filled slot is filled once, and no reader takes a
// reference to a slot's object while a setter releases it. Default builds compile the
// sections away.

/// `f(fn)` inside a critical section on the function object.
template <class F>
auto locked(PyObject *self, F f) noexcept -> decltype(f(as_fn(self))) {
    decltype(f(as_fn(self))) result;
    Py_BEGIN_CRITICAL_SECTION(self);
    result = f(as_fn(self));
    Py_END_CRITICAL_SECTION();
    return result;
}

PyObject *none_if_null(PyObject *o) noexcept { return new_ref(o ? o : Py_None); }

PyObject *fn_get_doc(PyObject *self, void *) noexcept {
    return locked(self, [](FnObject *fn) noexcept -> PyObject * {
        if (!fn->doc) {
            const char *doc = fn->row->doc;
            fn->doc =
                doc ? PyUnicode_DecodeUTF8(doc, static_cast<Py_ssize_t>(std::strlen(doc)), nullptr) : new_ref(Py_None);
            if (!fn->doc) return nullptr;
        }
        return new_ref(fn->doc);
    });
}

int fn_set_doc(PyObject *self, PyObject *value, void *) noexcept {
    return locked(self, [value](FnObject *fn) noexcept {
        Py_XSETREF(fn->doc, new_ref(value ? value : Py_None));
        return 0;
    });
}

PyObject *fn_get_name(PyObject *self, void *) noexcept {
    return locked(self, [](FnObject *fn) noexcept {
        if (!fn->name) fn->name = new_ref(S.names.*fn->row->name);
        return new_ref(fn->name);
    });
}

int fn_set_name(PyObject *self, PyObject *value, void *) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    return locked(self, [value](FnObject *fn) noexcept {
        Py_XSETREF(fn->name, new_ref(value));
        return 0;
    });
}

PyObject *fn_get_qualname(PyObject *self, void *) noexcept {
    return locked(self, [](FnObject *fn) noexcept { return new_ref(fn->qualname); });
}

int fn_set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    return locked(self, [value](FnObject *fn) noexcept {
        Py_XSETREF(fn->qualname, new_ref(value));
        return 0;
    });
}

int fn_set_dict(PyObject *self, PyObject *value, void *) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    // The interpreter reads the dictionary slot without a lock (attribute lookups,
    // PyObject_GenericGetDict); its own setter knows how to release the old one safely.
    return PyObject_GenericSetDict(self, value, nullptr);
}

// The globals and the code object are set at creation and never change.
PyObject *fn_get_globals(PyObject *self, void *) noexcept { return new_ref(as_fn(self)->globals); }

PyObject *fn_get_closure(PyObject *, void *) noexcept { return new_ref(Py_None); }

PyObject *fn_get_code(PyObject *self, void *) noexcept { return new_ref(as_fn(self)->code); }

/// Makes `__defaults__` on its first read, where the row says so: a tuple of its own with
/// the argument defaults' values. There are no keyword-only defaults to make.
int make_pending_defaults(FnObject *fn) noexcept {
    if (!fn->defaults_pending) return 0;
    Py_ssize_t n = PyTuple_GET_SIZE(fn->arg_defaults);
    PyObject *defaults = PyTuple_New(n);
    if (!defaults) {
        add_entry("loss.__defaults__", fn->row->def_line, fn->globals);
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(defaults, i, new_ref(PyTuple_GET_ITEM(fn->arg_defaults, i)));
    fn->defaults_pending = false;
    Py_XSETREF(fn->defaults, defaults);
    return 0;
}

/// Stores a new defaults value after the warning; `value` may be null (deletion).
int set_defaults_slot(PyObject *self, PyObject *FnObject::*slot, PyObject *value, bool ok_type, const char *type_error,
                      const char *warning) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !ok_type) {
        PyErr_SetString(PyExc_TypeError, type_error);
        return -1;
    }
    return locked(self, [=](FnObject *fn) noexcept {
        // Settle the getter first, so that it never overwrites what is assigned here.
        if (make_pending_defaults(fn) < 0) return -1;
        if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
        Py_XINCREF(value);
        Py_XSETREF(fn->*slot, value);
        return 0;
    });
}

PyObject *fn_get_defaults(PyObject *self, void *) noexcept {
    return locked(self, [](FnObject *fn) noexcept -> PyObject * {
        if (make_pending_defaults(fn) < 0) return nullptr;
        return none_if_null(fn->defaults);
    });
}

int fn_set_defaults(PyObject *self, PyObject *value, void *) noexcept {
    return set_defaults_slot(
        self, &FnObject::defaults, value, value && PyTuple_Check(value), "__defaults__ must be set to a tuple object",
        "changes to vorlet.__defaults__ will not currently affect the values used in function calls");
}

PyObject *fn_get_kwdefaults(PyObject *self, void *) noexcept {
    return locked(self, [](FnObject *fn) noexcept -> PyObject * {
        if (make_pending_defaults(fn) < 0) return nullptr;
        return none_if_null(fn->kwdefaults);
    });
}

int fn_set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept {
    return set_defaults_slot(
        self, &FnObject::kwdefaults, value, value && PyDict_Check(value), "__kwdefaults__ must be set to a dict object",
        "changes to vorlet.__kwdefaults__ will not currently affect the values used in function calls");
}

PyObject *fn_get_annotations(PyObject *self, void *) noexcept {
    return locked(self, [](FnObject *fn) noexcept -> PyObject * {
        if (!fn->annotations) {
            fn->annotations = PyDict_New();
            if (!fn->annotations) return nullptr;
        }
        return new_ref(fn->annotations);
    });
}

int fn_set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    return locked(self, [value](FnObject *fn) noexcept {
        Py_XINCREF(value);
        Py_XSETREF(fn->annotations, value);
        return 0;
    });
}

PyObject *fn_get_is_coroutine(PyObject *self, void *) noexcept {
    return locked(self, [](FnObject *fn) noexcept {
        if (!fn->is_coroutine) fn->is_coroutine = new_ref(Py_False);
        return new_ref(fn->is_coroutine);
    });
}

PyObject *fn_get_module(PyObject *self, void *) noexcept {
    return locked(self, [](FnObject *fn) noexcept { return none_if_null(fn->module); });
}

int fn_set_module(PyObject *self, PyObject *value, void *) noexcept {
    return locked(self, [value](FnObject *fn) noexcept {
        Py_XINCREF(value);
        Py_XSETREF(fn->module, value);
        return 0;
    });
}

/// Pickles by reference: the interpreter looks the name up in `__module__`.
PyObject *fn_reduce(PyObject *self, PyObject *) noexcept { return fn_get_qualname(self, nullptr); }

}  // namespace

// On Windows PyObject_GenericGetDict comes from pythonXY.dll, so its address is known
// only once the module is loaded: MSVC's and Clang's C++ fill its two entries in at load
// time (a static initialiser), GCC stores the address of its import thunk.
PyGetSetDef fn_getset[] = {
    {"__doc__", fn_get_doc, fn_set_doc, nullptr, nullptr},
    {"func_doc", fn_get_doc, fn_set_doc, nullptr, nullptr},
    {"__name__", fn_get_name, fn_set_name, nullptr, nullptr},
    {"func_name", fn_get_name, fn_set_name, nullptr, nullptr},
    {"__qualname__", fn_get_qualname, fn_set_qualname, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, fn_set_dict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, fn_set_dict, nullptr, nullptr},
    {"__globals__", fn_get_globals, nullptr, nullptr, nullptr},
    {"func_globals", fn_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", fn_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", fn_get_closure, nullptr, nullptr, nullptr},
    {"__code__", fn_get_code, nullptr, nullptr, nullptr},
    {"func_code", fn_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", fn_get_defaults, fn_set_defaults, nullptr, nullptr},
    {"func_defaults", fn_get_defaults, fn_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", fn_get_kwdefaults, fn_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", fn_get_annotations, fn_set_annotations, nullptr, nullptr},
    {"_is_coroutine", fn_get_is_coroutine, nullptr, nullptr, nullptr},
    {"__module__", fn_get_module, fn_set_module, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace loss
