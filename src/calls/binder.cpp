// binder.cpp: argument binding with the interpreter's customary messages.
#include "calls/binder.h"

#include "calls/ops.h"  // LOSS_NOINLINE
#include "calls/traceback.h"

namespace loss {

namespace {

const char *plain_name(const FnRow &row) noexcept {
    // An interned ASCII str keeps its UTF-8 form inline: this cannot fail.
    return PyUnicode_AsUTF8(S.names.*row.name);
}

/// The interned name of parameter `i`, from the names the function's code was made with.
PyObject *param_name(const FnObject *fn, int i) noexcept { return PyTuple_GET_ITEM(fn->varnames, i); }

void count_error(const FnRow &row, Py_ssize_t found) noexcept {
    const char *how;
    Py_ssize_t expected;
    if (row.required == row.params.count) {
        how = "exactly";
        expected = row.params.count;
    } else if (found < row.required) {
        how = "at least";
        expected = row.required;
    } else {
        how = "at most";
        expected = row.params.count;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", plain_name(row), how,
                 expected, expected == 1 ? "" : "s", found);
}

/// Equality of a parameter name with a keyword name, as the interpreter decides it.
int names_equal(PyObject *param, PyObject *kw) noexcept {
    if (param == kw) return 1;
    if (PyUnicode_CheckExact(kw)) {
        return PyUnicode_GET_LENGTH(param) == PyUnicode_GET_LENGTH(kw) && PyUnicode_Compare(param, kw) == 0;
    }
    if (kw == Py_None) return 0;
    PyObject *eq = PyObject_RichCompare(param, kw, Py_EQ);
    if (!eq) return -1;
    int r = PyObject_IsTrue(eq);
    Py_DECREF(eq);
    return r;
}

/// Finds `param` among the keyword names: by identity first, then by value.
/// Returns 1 and the value, 0 when absent, -1 on error.
int kw_lookup(PyObject *param, PyObject *kwnames, PyObject *const *kwvalues, PyObject **value) noexcept {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == param) {
            *value = kwvalues[i];
            return 1;
        }
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        int eq = names_equal(param, PyTuple_GET_ITEM(kwnames, i));
        if (eq < 0) return -1;
        if (eq) {
            *value = kwvalues[i];
            return 1;
        }
    }
    return 0;
}

/// A str match by length and content; -1 when the comparison itself fails.
int same_text(PyObject *param, PyObject *kw) noexcept {
    if (PyUnicode_GET_LENGTH(param) != PyUnicode_GET_LENGTH(kw)) return 0;
    int c = PyUnicode_Compare(param, kw);
    if (c == -1 && PyErr_Occurred()) return -1;
    return c == 0;
}

/// Assigns every keyword to a parameter at `nargs` or later, or raises.
int assign_keywords(const FnObject *fn, Py_ssize_t nargs, PyObject *kwnames, PyObject *const *kwvalues,
                    PyObject **values) noexcept {
    const FnRow &row = *fn->row;
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *kw = PyTuple_GET_ITEM(kwnames, i);
        int at = -1;
        for (int j = static_cast<int>(nargs); j < row.params.count && at < 0; ++j) {
            if (param_name(fn, j) == kw) at = j;
        }
        if (at < 0) {
            if (!PyUnicode_Check(kw)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", plain_name(row));
                return -1;
            }
            for (int j = static_cast<int>(nargs); j < row.params.count && at < 0; ++j) {
                int eq = same_text(param_name(fn, j), kw);
                if (eq < 0) return -1;
                if (eq) at = j;
            }
        }
        if (at < 0) {
            for (int j = 0; j < nargs; ++j) {
                PyObject *param = param_name(fn, j);
                int eq = param == kw ? 1 : same_text(param, kw);
                if (eq < 0) return -1;
                if (eq) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", plain_name(row),
                                 kw);
                    return -1;
                }
            }
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", plain_name(row), kw);
            return -1;
        }
        values[at] = kwvalues[i];
    }
    return 0;
}

/// Binds into `values`; -1 with the error set when the call does not fit. Out of line: its
/// frame is gone before the body runs.
LOSS_NOINLINE int bind_values(const FnObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                              PyObject **values) noexcept {
    const FnRow &row = *fn->row;
    if (nargs > row.params.count || (!kwnames && nargs < row.required)) {
        count_error(row, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    // Parameters left out take the defaults made when the `def` ran, never `__defaults__`.
    for (int i = static_cast<int>(nargs); i < row.params.count; ++i)
        values[i] = i < row.required ? nullptr : PyTuple_GET_ITEM(fn->arg_defaults, i - row.required);
    if (!kwnames) return 0;

    PyObject *const *kwvalues = args + nargs;
    Py_ssize_t left = PyTuple_GET_SIZE(kwnames);
    for (int i = static_cast<int>(nargs); i < row.params.count; ++i) {
        bool required = i < row.required;
        if (!required && left == 0) continue;
        int found = kw_lookup(param_name(fn, i), kwnames, kwvalues, &values[i]);
        if (found < 0) return -1;
        if (found) {
            --left;
        } else if (required) {
            count_error(row, i);
            return -1;
        }
    }
    if (left > 0) return assign_keywords(fn, nargs, kwnames, kwvalues, values);
    return 0;
}

/// Runs the body as one level of the interpreter's recursion: calls between the
/// module's functions recurse in C alone, so a loop made of them (a global
/// rebound to its caller) ends in RecursionError, as in Python, not in a crash.
PyObject *run_body(FnObject *fn, PyObject *const *values) noexcept {
    const FnRow &row = *fn->row;
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        add_entry(row.entry, row.def_line, fn->globals);
        return nullptr;
    }
    PyObject *result = row.body(fn, values);
    Py_LeaveRecursiveCall();
    return result;
}

/// Binds into an array of this frame, which the body reads while it runs.
LOSS_NOINLINE PyObject *bind_and_run(FnObject *fn, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) noexcept {
    PyObject *values[kMaxParams];
    if (bind_values(fn, args, nargs, kwnames, values) < 0) {
        add_entry(fn->row->entry, fn->row->def_line, fn->globals);
        return nullptr;
    }
    return run_body(fn, values);
}

}  // namespace

PyObject *bind(FnObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    // The common exact positional call runs on the caller's own array.
    if (!kwnames && nargs == fn->row->params.count) return run_body(fn, args);
    return bind_and_run(fn, args, nargs, kwnames);
}

}  // namespace loss
