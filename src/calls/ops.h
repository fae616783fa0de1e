// ops.h: the interpreter-level operations the loss bodies are written in.
#pragma once

#include "calls/function.h"
#include "calls/traceback.h"
#include "compat.h"

#include <initializer_list>
#include <utility>

namespace loss {

/// One body's failure reporting: `at` records the line of a failed step.
class Steps {
public:
    explicit Steps(const FnRow &row) noexcept : entry_(row.entry) {}
    explicit Steps(const char *entry) noexcept : entry_(entry) {}
    /// Takes a step's result (a new reference or null); on null adds the entry.
    Ref at(int line, PyObject *result) const noexcept {
        if (!result) add_entry(entry_, line);
        return Ref::steal(result);
    }
    /// The same for a status (-1 on failure); true when the step succeeded.
    bool ok(int line, int status) const noexcept {
        if (status < 0) add_entry(entry_, line);
        return status >= 0;
    }

private:
    const char *entry_;
};

/// What one lookup site found in a dictionary, and the dictionary's stamp
/// then. While the stamp is unchanged the dictionary still holds the value, so
/// the value is borrowed.
struct Lookup {
    PyObject *dict = nullptr;
    uint64_t stamp = 0;
    PyObject *value = nullptr;
};

/// The value of the module global `name`: module dictionary, then builtins.
PyObject *global(Lookup &site, PyObject *name) noexcept;

/// `owner.name`. The site remembers the value while `owner` is a plain module
/// and its dictionary is unchanged.
PyObject *attr(Lookup &site, PyObject *owner, PyObject *name) noexcept;

/// The global `Name`, with one lookup site per name.
template <NameRef Name>
PyObject *global() noexcept {
    static Lookup site;
    return global(site, S.names.*Name);
}

/// `owner.Attr`, with one lookup site per attribute name.
template <NameRef Attr>
PyObject *attr(PyObject *owner) noexcept {
    static Lookup site;
    return attr(site, owner, S.names.*Attr);
}

/// `torch.Attr`, as the bodies write `torch.cat`.
template <NameRef Attr>
PyObject *torch_attr() noexcept {
    Ref torch = Ref::steal(global<&Names::torch>());
    if (!torch) return nullptr;
    return attr<Attr>(torch.get());
}

/// `callable(*args)`, or with keywords when `kwnames` names the trailing args.
PyObject *call(PyObject *callable, std::initializer_list<PyObject *> args, PyObject *kwnames = nullptr) noexcept;

/// `self.name(*args)`, with keywords as for `call`.
PyObject *method(PyObject *self, PyObject *name, std::initializer_list<PyObject *> args = {},
                 PyObject *kwnames = nullptr) noexcept;

/// `int(o)`: an exact int is taken as it is, and so is torch's symbolic int,
/// which only appears while torch traces.
PyObject *to_int(PyObject *o) noexcept;

/// `int(o.size()[0])`, as a batch size is read.
PyObject *int_size0(PyObject *o) noexcept;

/// `int(o.size(dim))`.
PyObject *int_size(PyObject *o, PyObject *dim) noexcept;

/// The interpreter's truth test; -1 on error.
int truth(PyObject *o) noexcept;

/// `a, b = seq` with the interpreter's unpacking messages.
int unpack2(PyObject *seq, Ref &first, Ref &second) noexcept;

/// Raises the AssertionError cached at import, with no message.
int raise_assertion() noexcept;

/// The result of a step that can only fail by raising: null on -1.
inline PyObject *status_or_null(int status) noexcept { return status < 0 ? nullptr : new_ref(Py_None); }

}  // namespace loss
