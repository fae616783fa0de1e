// state.cpp: the module state and the making of its constant objects.
#include "state.h"

namespace loss {

State S;

int state_keep(PyObject *&slot, PyObject *value) noexcept {
    if (!value) return -1;
    Py_XSETREF(slot, value);
    return 0;
}

int state_make_constants() noexcept {
#define LOSS_NAME_MAKE(id, text) \
    if (state_keep(S.names.id, PyUnicode_InternFromString(text)) < 0) return -1;
    LOSS_NAMES(LOSS_NAME_MAKE)
#undef LOSS_NAME_MAKE
    if (state_keep(S.file_name, PyUnicode_InternFromString("loss.py")) < 0) return -1;

    if (state_keep(S.float2, PyFloat_FromDouble(2.0)) < 0) return -1;
    if (state_keep(S.float1, PyFloat_FromDouble(1.0)) < 0) return -1;
    if (state_keep(S.int0, PyLong_FromLong(0)) < 0) return -1;
    if (state_keep(S.int1, PyLong_FromLong(1)) < 0) return -1;
    if (state_keep(S.int2, PyLong_FromLong(2)) < 0) return -1;
    if (state_keep(S.int6, PyLong_FromLong(6)) < 0) return -1;
    if (state_keep(S.int_m1, PyLong_FromLong(-1)) < 0) return -1;
    return 0;
}

int intern_names(std::initializer_list<OwnName> names) noexcept {
    for (const OwnName &name : names) {
        if (state_keep(*name.slot, PyUnicode_InternFromString(name.text)) < 0) return -1;
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
