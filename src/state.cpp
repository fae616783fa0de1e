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
    if (state_keep(S.half_min, PyFloat_FromDouble(0x1p-24)) < 0) return -1;
    return 0;
}

}  // namespace loss
