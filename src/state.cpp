// state.cpp: the module state and the making of its constant objects.
#include "state.h"

namespace loss {

State S;

namespace {

int intern_once(PyObject *&slot, const char *text) noexcept {
    return state_once(slot, [text] { return PyUnicode_InternFromString(text); });
}

int long_once(PyObject *&slot, long value) noexcept {
    return state_once(slot, [value] { return PyLong_FromLong(value); });
}

int float_once(PyObject *&slot, double value) noexcept {
    return state_once(slot, [value] { return PyFloat_FromDouble(value); });
}

}  // namespace

int state_make_constants() noexcept {
#define LOSS_NAME_MAKE(id, text) \
    if (intern_once(S.names.id, text) < 0) return -1;
    LOSS_NAMES(LOSS_NAME_MAKE)
#undef LOSS_NAME_MAKE
    if (intern_once(S.file_name, "loss.py") < 0) return -1;

    if (float_once(S.float2, 2.0) < 0 || float_once(S.float1, 1.0) < 0) return -1;
    if (long_once(S.int0, 0) < 0 || long_once(S.int1, 1) < 0 || long_once(S.int2, 2) < 0) return -1;
    return long_once(S.int6, 6) < 0 || long_once(S.int_m1, -1) < 0 ? -1 : 0;
}

PyObject *lookup_globals(Ref &held) noexcept {
    PyObject *loaded = S.loaded.load(std::memory_order_acquire);
    if (loaded) return loaded;
    // A failing exec step in another thread may release the dictionary as soon as the mutex
    // is let go: the reference is taken before.
    PyMutex_Lock(&S.mutex);
    held = Ref::borrow(S.globals);
    PyMutex_Unlock(&S.mutex);
    return held.get();
}

int intern_names(std::initializer_list<OwnName> names) noexcept {
    for (const OwnName &name : names) {
        if (intern_once(*name.slot, name.text) < 0) return -1;
    }
    return 0;
}

PyObject *names_tuple(std::initializer_list<PyObject *> names) noexcept {
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject *name : names) PyTuple_SET_ITEM(tuple, i++, new_ref(name));
    return tuple;
}

}  // namespace loss
