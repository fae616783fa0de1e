// binder.h: the one argument binder, driven by each function's table row.
#pragma once

#include "calls/function.h"

namespace loss {

/// Maps the call's arguments onto `fn`'s parameters, fills the missing
/// optional ones from the defaults made when its `def` ran, and runs the body. The positional
/// arguments come first in `args`, then one value per name in `kwnames`.
PyObject *bind(FnObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept;

}  // namespace loss
