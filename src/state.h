// state.h: the process-wide module state: interned names, constants, code objects.
#pragma once

#include "compat.h"
#include "ref.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>

namespace loss {

// The identifiers that more than one function, or the module itself, uses as a global,
// attribute or keyword name. Each becomes one interned str of the state. A function's
// parameter and local names, and the names its body alone uses, are kept beside it.
// clang-format off
#define LOSS_NAMES(X)                                                                                     \
    /* the functions: bound by the module, and two of them looked up as globals by the others */          \
    X(guassian_kernel_mmd, "guassian_kernel_mmd") X(MMD, "MMD") X(compute_joint, "compute_joint")         \
    X(instance_contrastive_Loss, "instance_contrastive_Loss")                                             \
    X(category_contrastive_loss, "category_contrastive_loss")                                             \
    /* globals, attributes and keywords of more than one body */                                          \
    X(torch, "torch") X(dim, "dim") X(unsqueeze, "unsqueeze") X(expand, "expand") X(size, "size")         \
    X(sum, "sum") X(div, "div") X(view, "view") X(t, "t") X(where, "where") X(to, "to") X(dtype, "dtype") \
    X(float16, "float16") X(shape, "shape")                                                               \
    /* builtins and module set-up */                                                                      \
    X(loss, "loss") X(range, "range") X(AssertionError, "AssertionError") X(sys, "sys")                   \
    X(spec, "__spec__") X(initializing, "_initializing") X(test, "__test__")
// clang-format on

struct Names {
#define LOSS_NAME_FIELD(id, text) PyObject *id;
    LOSS_NAMES(LOSS_NAME_FIELD)
#undef LOSS_NAME_FIELD
};

/// A name of the state, as table rows refer to it.
using NameRef = PyObject *Names::*;

constexpr int kFunctions = 5;

struct State {
    // Without the GIL, guards the import's record: `module`, `globals`, `first_interpreter` and
    // the module's import record. Held for reads and stores only, never across a call into Python.
    PyMutex mutex = {};
    PyObject *module = nullptr;  // the module the create step made, until its exec step fails
    int64_t first_interpreter = -1;
    PyObject *globals = nullptr;  // the module dictionary, from the start of its exec step
    // The dictionary of the module whose import succeeded: set once, never released, so that calls
    // read it without the mutex and without a reference of their own.
    std::atomic<PyObject *> loaded{nullptr};
    PyObject *builtins = nullptr;  // the builtins module

    PyObject *empty_tuple = nullptr, *empty_bytes = nullptr;
    Names names{};
    PyObject *file_name = nullptr;  // "loss.py"

    PyObject *float2 = nullptr, *float1 = nullptr;
    PyObject *int0 = nullptr, *int1 = nullptr, *int2 = nullptr, *int6 = nullptr, *int_m1 = nullptr;
    PyObject *defaults = nullptr;  // (2, 6, None)

    PyObject *kw_dim = nullptr;  // ("dim",): the keyword of several bodies' outgoing calls

    PyObject *varnames[kFunctions] = {};
    PyObject *code[kFunctions] = {};

    PyObject *builtin_sum = nullptr, *builtin_range = nullptr, *builtin_AssertionError = nullptr;

    // torch.SymInt once met: held until the process ends, so the pointer never
    // names another type. Filled by whichever call meets it first, in any thread.
    std::atomic<PyObject *> sym_int_type{nullptr};

    // `assert` statements run: the interpreter's optimisation level is 0. Stored by every exec
    // step (the same value each time) while functions kept from a failed import may read it.
    std::atomic<bool> asserts{true};
};

/// The process-wide state every function reads (what one body alone uses sits beside it, in its
/// file's `own`). One exec step at a time fills it (the others wait for
/// its outcome); every field a call reads is complete before the exec step binds the functions,
/// and binding them in the module dictionary publishes it to other threads. Its objects are made
/// once and kept until the process ends: a retried import reuses them, as functions kept from a
/// failed one may still be using them in other threads. Calls only read it, but for `sym_int_type`.
extern State S;

/// Fills `slot`, of the state or beside the one function that uses it, with `make()` (a new
/// reference, or null on failure) unless an earlier import filled it; -1 on failure.
template <class Make>
int state_once(PyObject *&slot, Make make) noexcept {
    if (slot) return 0;
    slot = make();
    return slot ? 0 : -1;
}

/// Makes the interned names and numeric constants that an earlier import has not made.
int state_make_constants() noexcept;

/// The dictionary global lookups read: the imported module's (borrowed: it lives for the process),
/// or while no import has succeeded the one an exec step has begun, kept alive by `held`; null
/// when there is none.
PyObject *lookup_globals(Ref &held) noexcept;

/// An interned name that one function alone uses, and the slot beside it that keeps it.
struct OwnName {
    PyObject **slot;
    const char *text;
};

/// Interns each of a function's own names into its slot; -1 on failure.
int intern_names(std::initializer_list<OwnName> names) noexcept;

/// The tuple of `names`, as the keyword names of an outgoing call; null on failure.
PyObject *names_tuple(std::initializer_list<PyObject *> names) noexcept;

}  // namespace loss
