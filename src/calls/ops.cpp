// ops.cpp: global lookups, conversions and unpacking.
#include "calls/ops.h"

#include <cstring>
#include <utility>

namespace loss {

PyObject *global(PyObject *name) noexcept {
    // A function kept from a failed import finds no namespace while no import runs or has succeeded.
    Ref held;
    PyObject *globals = lookup_globals(held);
    if (!globals) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }
    // Strong references from the start: without the GIL another thread may rebind the
    // name and free the old value before a borrowed one could be taken.
    PyObject *value;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found == 0) found = PyDict_GetItemRef(PyModule_GetDict(S.builtins), name, &value);
    if (found > 0) return value;
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

namespace {

/// Whether `o` is torch's symbolic integer, known by its type's name and module
/// rather than by a lookup of the global `torch`, which a caller may rebind.
bool is_sym_int(PyObject *o) noexcept {
    PyTypeObject *type = Py_TYPE(o);
    PyObject *known = S.sym_int_type.load(std::memory_order_acquire);
    if (reinterpret_cast<PyObject *>(type) == known) return true;
    if (known || std::strcmp(type->tp_name, "SymInt") != 0) return false;
    PyObject *module = PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__module__");
    if (!module) {
        PyErr_Clear();
        return false;
    }
    bool found = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "torch") == 0;
    Py_DECREF(module);
    // Threads that meet it at once all find it; the first to store it keeps its reference.
    PyObject *expected = nullptr;
    if (found && !S.sym_int_type.compare_exchange_strong(expected, new_ref(reinterpret_cast<PyObject *>(type)),
                                                         std::memory_order_acq_rel)) {
        Py_DECREF(type);
    }
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

PyObject *int_size0(PyObject *o, Ref *columns) noexcept {
    Ref size = Ref::steal(method(o, S.names.size));
    if (!size) return nullptr;
    if (columns) {
        bool two = PyTuple_Check(size.get()) && PyTuple_GET_SIZE(size.get()) >= 2;
        *columns = two ? Ref::borrow(PyTuple_GET_ITEM(size.get(), 1)) : Ref();
    }
    Ref first = Ref::steal(PyObject_GetItem(size.get(), S.int0));
    if (!first) return nullptr;
    return to_int(first.get());
}

PyObject *int_size(PyObject *o, PyObject *dim) noexcept {
    Ref size = Ref::steal(method(o, S.names.size, dim));
    if (!size) return nullptr;
    return to_int(size.get());
}

int is_float16(PyObject *tensor) noexcept {
    Ref dtype = Ref::steal(PyObject_GetAttr(tensor, S.names.dtype));
    if (!dtype) return -1;
    Ref float16 = Ref::steal(torch_attr(S.names.float16));
    if (!float16) return -1;
    return dtype.get() == float16.get();
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

/// The next item of `it`: 1 with the item, 0 at the end, -1 on error.
int next_item(PyObject *it, Ref &out) noexcept {
    out = Ref::steal(PyIter_Next(it));
    if (out) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

/// `a, b = seq` for an exact tuple or list, read in place.
int unpack2_items(PyObject *seq, Ref &first, Ref &second) noexcept {
    Py_ssize_t len = PySequence_Fast_GET_SIZE(seq);
    if (len > 2) return too_many();
    if (len < 2) return too_few(len);
    PyObject **items = PySequence_Fast_ITEMS(seq);
    first = Ref::borrow(items[0]);
    second = Ref::borrow(items[1]);
    return 0;
}

}  // namespace

int unpack2(PyObject *seq, Ref &first, Ref &second) noexcept {
    if (PyTuple_CheckExact(seq)) return unpack2_items(seq, first, second);
    if (PyList_CheckExact(seq)) {
        // Another thread may resize a list that it shares with us while we read it.
        int r;
        Py_BEGIN_CRITICAL_SECTION(seq);
        r = unpack2_items(seq, first, second);
        Py_END_CRITICAL_SECTION();
        return r;
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
