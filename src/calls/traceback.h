// traceback.h: traceback entries that point at lines of "loss.py".
#pragma once

#include <Python.h>

namespace loss {

/// Adds one entry (`entry`, "loss.py", `line`) to the pending exception's traceback, its frame
/// with `globals` (a dictionary holding `__builtins__`, or null for no entry). Called with an
/// exception set; leaves it set.
void add_entry(const char *entry, int line, PyObject *globals) noexcept;

}  // namespace loss
