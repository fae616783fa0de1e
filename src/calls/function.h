// function.h: the module's function type ("vorlet") and the table row each function is made from.
#pragma once

#include "state.h"

#include <climits>

namespace loss {

struct FnObject;

/// A loss body: runs with the bound parameter values (borrowed), in parameter order.
using BodyFn = PyObject *(*)(FnObject *fn, PyObject *const *args) noexcept;

/// Makes a function's argument defaults when its `def` runs: a new tuple, one value per
/// parameter after the required ones; null with the error set on failure.
using DefaultsFn = PyObject *(*)() noexcept;

/// A row's list of parameter or local names, as "loss.py" spells them; its length that of
/// the array it is made from. The exec step interns them into the code object's co_varnames.
template <int Max>
struct NameList {
    const char *const *texts;
    int count;
    template <int N>
    constexpr NameList(const char *const (&list)[N]) noexcept : texts(list), count(N) {
        static_assert(N <= Max, "more names than the list may hold");
    }
};

/// Makes what one function alone uses (its own names and constants) with its code object,
/// again after a failed import; -1 with the error set on failure.
using PrepareFn = int (*)() noexcept;

/// The most parameters a function may have: the binder binds into an array of this size.
constexpr int kMaxParams = 5;

/// When `__defaults__` is made: from the argument defaults when the `def` runs, or by a
/// getter on its first read, which reports a failure as the entry "loss.__defaults__".
enum class ShownDefaults : bool { at_def, on_first_read };

/// One function of the module: signature, defaults, lines, docstring, body and what the body
/// alone uses.
struct FnRow {
    NameRef name;
    const char *entry;  // traceback entry name, "loss.<name>"
    int def_line;
    NameList<kMaxParams> params;  // no more than the binder has room for
    int required;                 // how many leading parameters have no default
    DefaultsFn defaults;          // null when every parameter is required
    ShownDefaults shown;
    NameList<INT_MAX> locals;  // co_varnames after the parameters
    const char *doc;           // UTF-8, or null for none
    BodyFn body;
    PrepareFn prepare;  // null when the body uses only the state's names and constants
};

struct FnObject {
    PyObject_HEAD const FnRow *row;
    PyObject *module;  // __module__
    PyObject *weakrefs;
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *name;  // made on first read
    PyObject *qualname;
    PyObject *doc;  // made on first read
    PyObject *globals;
    PyObject *code;
    PyObject *varnames;      // the names the code was made with: the binder matches keywords against its parameters
    PyObject *arg_defaults;  // what calls fill in: made when the `def` runs, never replaced
    PyObject *defaults;      // __defaults__
    PyObject *kwdefaults;
    bool defaults_pending;  // __defaults__ is still to be made from arg_defaults
    PyObject *annotations;
    PyObject *is_coroutine;  // made on first read
};

extern PyTypeObject FnType;

inline FnObject *as_fn(PyObject *o) noexcept { return reinterpret_cast<FnObject *>(o); }

/// Readies the function type once per process.
int fn_type_ready() noexcept;

/// A new function object for `row`, with its qualified name, module, globals, code and the
/// code's variable names, and the argument defaults the row makes.
FnObject *fn_new(const FnRow &row, PyObject *qualname, PyObject *module, PyObject *globals, PyObject *code,
                 PyObject *varnames) noexcept;

/// The attribute tables, defined beside their getters and setters.
extern PyGetSetDef fn_getset[];
extern PyMethodDef fn_methods[];

}  // namespace loss
