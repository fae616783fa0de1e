// ops.h: the interpreter-level operations the loss bodies are written in.
#pragma once

#include "calls/function.h"
#include "calls/traceback.h"
#include "compat.h"

// Keeps a function's locals out of its callers' frames. A call that can recurse into the
// module (a global rebound to one of its functions) holds its caller's whole frame on the C
// stack once per level: the steps after such a call live in a function of their own.
#if defined(_MSC_VER)
#define LOSS_NOINLINE __declspec(noinline)
#else
#define LOSS_NOINLINE __attribute__((noinline))
#endif

namespace loss {

/// One body's failure reporting: `at` records the line of a failed step. Its entries' frames
/// take the function's own globals, which the function holds while it runs.
class Steps {
public:
    explicit Steps(const FnObject *fn) noexcept : entry_(fn->row->entry), globals_(fn->globals) {}
    Steps(const char *entry, PyObject *globals) noexcept : entry_(entry), globals_(globals) {}
    /// Takes a step's result (a new reference or null); on null adds the entry.
    Ref at(int line, PyObject *result) const noexcept {
        if (!result) add_entry(entry_, line, globals_);
        return Ref::steal(result);
    }
    /// The same for a status (-1 on failure); true when the step succeeded.
    bool ok(int line, int status) const noexcept {
        if (status < 0) add_entry(entry_, line, globals_);
        return status >= 0;
    }

private:
    const char *entry_;
    PyObject *globals_;
};

/// Whether `assert` statements run.
inline bool asserts_on() noexcept { return S.asserts.load(std::memory_order_relaxed); }

/// The value of the module global `name`: module dictionary, then builtins,
/// looked up afresh each time, as `LOAD_GLOBAL` does.
PyObject *global(PyObject *name) noexcept;

/// The global `Name`.
template <NameRef Name>
PyObject *global() noexcept {
    return global(S.names.*Name);
}

/// `torch.attr`, as the bodies write `torch.cat`.
inline PyObject *torch_attr(PyObject *attr) noexcept {
    Ref torch = Ref::steal(global<&Names::torch>());
    if (!torch) return nullptr;
    return PyObject_GetAttr(torch.get(), attr);
}

/// `callable(*args)`, the last len(kwnames) of them passed as keywords.
template <class... Args>
PyObject *call_kw(PyObject *callable, PyObject *kwnames, Args... args) noexcept {
    // One spare leading slot lets the callee prepend `self` without copying.
    PyObject *stack[] = {nullptr, args...};
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return PyObject_Vectorcall(callable, stack + 1, (sizeof...(Args) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

/// `callable(*args)`.
template <class... Args>
PyObject *call(PyObject *callable, Args... args) noexcept {
    return call_kw(callable, nullptr, args...);
}

/// `self.name(*args)`, the last len(kwnames) of them passed as keywords.
template <class... Args>
PyObject *method_kw(PyObject *self, PyObject *name, PyObject *kwnames, Args... args) noexcept {
    PyObject *stack[] = {nullptr, self, args...};
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return PyObject_VectorcallMethod(name, stack + 1, (1 + sizeof...(Args) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames);
}

/// `self.name(*args)`.
template <class... Args>
PyObject *method(PyObject *self, PyObject *name, Args... args) noexcept {
    return method_kw(self, name, nullptr, args...);
}

/// `int(o)`: an exact int is taken as it is, and so is torch's symbolic int,
/// which only appears while torch traces.
PyObject *to_int(PyObject *o) noexcept;

/// `int(o.size()[0])`, as a batch size is read; with `columns`, also the size's item 1 where
/// it is a tuple of two or more items, which costs no call.
PyObject *int_size0(PyObject *o, Ref *columns = nullptr) noexcept;

/// `int(o.size(dim))`.
PyObject *int_size(PyObject *o, PyObject *dim) noexcept;

/// Whether `tensor.dtype is torch.float16`; -1 on error.
int is_float16(PyObject *tensor) noexcept;

/// The interpreter's truth test; -1 on error.
int truth(PyObject *o) noexcept;

/// `a, b = seq` with the interpreter's unpacking messages.
int unpack2(PyObject *seq, Ref &first, Ref &second) noexcept;

/// Raises the AssertionError cached at import, with no message.
int raise_assertion() noexcept;

}  // namespace loss
