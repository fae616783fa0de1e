// checks.cpp: the argument checks shared by the bodies: empty batches, kernel parameters.
#include "losses/losses.h"

namespace loss {

namespace {

enum class Sign { negative, zero, positive, nan, other };

/// The sign of a Python int or float, read without calling any of its methods; `other` for
/// anything else, a tensor included.
Sign sign_of(PyObject *o) noexcept {
    if (PyFloat_Check(o)) {
        double v = PyFloat_AS_DOUBLE(o);
        if (v > 0) return Sign::positive;
        if (v < 0) return Sign::negative;
        return v == 0 ? Sign::zero : Sign::nan;
    }
    if (PyLong_Check(o)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(o, &overflow);
        if (overflow) return overflow > 0 ? Sign::positive : Sign::negative;
        return v > 0 ? Sign::positive : v < 0 ? Sign::negative : Sign::zero;
    }
    return Sign::other;
}

}  // namespace

int refuse_empty(const FnRow &row, PyObject *rows, const char *argument) noexcept {
    if (!PyLong_Check(rows) || sign_of(rows) != Sign::zero) return 0;
    PyErr_Format(PyExc_ValueError, "%U(): %s is an empty batch (no rows)", S.names.*row.name, argument);
    return -1;
}

int check_kernel_parameters(const FnRow &row, PyObject *kernel_mul, PyObject *fix_sigma) noexcept {
    Sign mul = sign_of(kernel_mul);
    if (mul == Sign::zero || mul == Sign::negative || mul == Sign::nan) {
        PyErr_Format(PyExc_ValueError, "%U(): kernel_mul must be greater than 0, got %R", S.names.*row.name,
                     kernel_mul);
        return -1;
    }
    Sign sigma = sign_of(fix_sigma);
    if (sigma == Sign::negative || sigma == Sign::nan) {
        PyErr_Format(PyExc_ValueError, "%U(): fix_sigma must be 0 or greater, got %R", S.names.*row.name,
                     fix_sigma);
        return -1;
    }
    return 0;
}

}  // namespace loss
