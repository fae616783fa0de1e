// ops.cpp: global lookups, outgoing vectorcalls, conversions and unpacking.
#include "calls/ops.h"

#include <cstring>

namespace loss {

PyObject *global(Lookup &site, PyObject *name) noexcept {
    PyObject *globals = S.globals;
    if (site.dict == globals && site.stamp == compat::dict_stamp(globals)) return new_ref(site.value);
    PyObject *builtins = PyModule_GetDict(S.builtins);
    // Tracking starts before the stamp is read, and the stamp is read before
    // the lookup: should a key's __eq__ change a dictionary meanwhile, the
    // site never matches. A builtin is remembered only where one stamp covers
    // both dictionaries.
    bool remember = compat::dict_track(globals);
    bool remember_builtin = remember && compat::dict_stamp_shared && compat::dict_track(builtins);
    uint64_t stamp = compat::dict_stamp(globals);
    PyObject *value = PyDict_GetItemWithError(globals, name);
    if (value) {
        if (remember) site = {globals, stamp, value};
        return new_ref(value);
    }
    if (!PyErr_Occurred()) value = PyDict_GetItemWithError(builtins, name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }
    if (remember_builtin) site = {globals, stamp, value};
    return new_ref(value);
}

PyObject *attr(Lookup &site, PyObject *owner, PyObject *name) noexcept {
    // A subclass of module may take over attribute access; a plain module's
    // attributes, other than the names its type defines, are its dictionary's.
    PyObject *dict = PyModule_CheckExact(owner) ? PyModule_GetDict(owner) : nullptr;
    if (!dict) return PyObject_GetAttr(owner, name);
    if (site.dict == dict && site.stamp == compat::dict_stamp(dict)) return new_ref(site.value);
    bool remember = compat::dict_track(dict);
    uint64_t stamp = compat::dict_stamp(dict);
    PyObject *value = PyObject_GetAttr(owner, name);
    if (!value) return nullptr;
    // The site borrows the value, so only the dictionary's own entry may be
    // remembered: not a value that the module's __getattr__ made. A failure of
    // this check is no failure of the lookup.
    PyObject *entry = PyDict_GetItemWithError(dict, name);
    if (!entry && PyErr_Occurred()) PyErr_Clear();
    if (remember && entry == value) site = {dict, stamp, value};
    return value;
}

namespace {

constexpr size_t kMaxArgs = 7;

}  // namespace

PyObject *call(PyObject *callable, std::initializer_list<PyObject *> args, PyObject *kwnames) noexcept {
    // One spare leading slot lets the callee prepend `self` without copying.
    PyObject *stack[kMaxArgs + 1];
    size_t n = 0;
    for (PyObject *a : args) stack[1 + n++] = a;
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return compat::vectorcall(callable, stack + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

PyObject *method(PyObject *self, PyObject *name, std::initializer_list<PyObject *> args, PyObject *kwnames) noexcept {
    PyObject *stack[kMaxArgs + 2];
    size_t n = 0;
    stack[1 + n++] = self;
    for (PyObject *a : args) stack[1 + n++] = a;
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return compat::call_method(name, stack + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

namespace {

// torch.SymInt once met: a strong reference, kept until the process ends as
// the module state is, so the pointer never names another type.
PyTypeObject *sym_int_type = nullptr;

/// Whether `o` is torch's symbolic integer, known by its type's name and module
/// rather than by a lookup of the global `torch`, which a caller may rebind.
bool is_sym_int(PyObject *o) noexcept {
    PyTypeObject *type = Py_TYPE(o);
    if (type == sym_int_type) return true;
    if (sym_int_type || std::strcmp(type->tp_name, "SymInt") != 0) return false;
    PyObject *module = PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__module__");
    if (!module) {
        PyErr_Clear();
        return false;
    }
    bool found = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "torch") == 0;
    Py_DECREF(module);
    if (found) sym_int_type = reinterpret_cast<PyTypeObject *>(new_ref(reinterpret_cast<PyObject *>(type)));
    return found;
}

}  // namespace

PyObject *to_int(PyObject *o) noexcept {
    if (PyLong_CheckExact(o)) return new_ref(o);
    // While torch traces, int() of a symbolic size would fix the graph to this
    // one size; kept symbolic, one graph serves every size.
    if (is_sym_int(o)) return new_ref(o);
    return PyNumber_Long(o);
}

PyObject *int_size0(PyObject *o) noexcept {
    Ref size = Ref::steal(method(o, S.names.size));
    if (!size) return nullptr;
    Ref first = Ref::steal(PyObject_GetItem(size.get(), S.int0));
    if (!first) return nullptr;
    return to_int(first.get());
}

PyObject *int_size(PyObject *o, PyObject *dim) noexcept {
    Ref size = Ref::steal(method(o, S.names.size, {dim}));
    if (!size) return nullptr;
    return to_int(size.get());
}

int truth(PyObject *o) noexcept {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

namespace {

int too_few(Py_ssize_t got) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return -1;
}

int too_many() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
    return -1;
}

/// The next item of `it`: 1 with the item, 0 at the end (StopIteration cleared), -1 on error.
int next_item(PyObject *it, Ref &out) noexcept {
    out = Ref::steal(PyIter_Next(it));
    if (out) return 1;
    if (!PyErr_Occurred()) return 0;
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

}  // namespace

int unpack2(PyObject *seq, Ref &first, Ref &second) noexcept {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t len = PySequence_Fast_GET_SIZE(seq);
        if (len > 2) return too_many();
        if (len < 2) return too_few(len);
        PyObject **items = PySequence_Fast_ITEMS(seq);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return -1;
    Ref a, b, extra;
    int r = next_item(it.get(), a);
    if (r <= 0) return r < 0 ? -1 : too_few(0);
    r = next_item(it.get(), b);
    if (r <= 0) return r < 0 ? -1 : too_few(1);
    r = next_item(it.get(), extra);
    if (r < 0) return -1;
    if (r > 0) return too_many();
    first = std::move(a);
    second = std::move(b);
    return 0;
}

int raise_assertion() noexcept {
    Ref exc = Ref::steal(PyObject_CallObject(S.builtin_AssertionError, nullptr));
    if (!exc) return -1;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return -1;
}

}  // namespace loss
