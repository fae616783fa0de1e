// function.h: the module's function type ("vorlet") and the table row each function is made from.
#pragma once

#include "state.h"

namespace loss {

struct FnObject;

/// A loss body: runs with the bound parameter values (borrowed), in parameter order.
using BodyFn = PyObject *(*)(FnObject *fn, PyObject *const *args) noexcept;

/// Builds (defaults, kwdefaults) on the first read of either attribute.
using DefaultsGetter = int (*)(FnObject *fn, PyObject **defaults, PyObject **kwdefaults) noexcept;

/// What the binder fills in for a parameter the call leaves out.
enum class Fill : unsigned char { required, int2, int6, none, float1, stored0 };

constexpr int kMaxParams = 5;
constexpr int kMaxLocals = 17;

/// One function of the module: signature, defaults, lines, docstring and body.
struct FnRow {
    NameRef name;
    const char *entry;  // traceback entry name, "loss.<name>"
    int def_line;
    int nparams;
    int nrequired;
    Fill fill[kMaxParams];
    int nlocals;  // co_varnames: the parameters first
    NameRef varnames[kMaxLocals];
    const char *doc;  // UTF-8, or null for none
    BodyFn body;
    bool shared_defaults;  // carries the module's (2, 6, None) as __defaults__
    /// Attaches defaults computed at definition time; null for none.
    int (*attach)(FnObject *fn) noexcept;
};

struct FnObject {
    PyObject_HEAD
    const FnRow *row;
    PyObject *module;  // __module__
    PyObject *weakrefs;
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *name;  // made on first read
    PyObject *qualname;
    PyObject *doc;  // made on first read
    PyObject *globals;
    PyObject *code;
    PyObject **store;  // defaults computed at definition time
    Py_ssize_t store_count;
    PyObject *defaults;
    PyObject *kwdefaults;
    DefaultsGetter getter;
    PyObject *annotations;
    PyObject *is_coroutine;  // made on first read
};

extern PyTypeObject FnType;

inline FnObject *as_fn(PyObject *o) noexcept { return reinterpret_cast<FnObject *>(o); }

/// Readies the function type once per process.
int fn_type_ready() noexcept;

/// A new function object for `row`, with its qualified name, module, globals and code.
FnObject *fn_new(const FnRow &row, PyObject *qualname, PyObject *module, PyObject *globals, PyObject *code) noexcept;

/// Gives `fn` a defaults store of `count` empty slots; MemoryError on failure.
int fn_alloc_store(FnObject *fn, Py_ssize_t count) noexcept;

/// The attribute tables, defined beside their getters and setters.
extern PyGetSetDef fn_getset[];
extern PyMethodDef fn_methods[];

/// The five rows, in source order.
extern const FnRow *const kRows[kFunctions];

}  // namespace loss
