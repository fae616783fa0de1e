// traceback.h: traceback entries that point at lines of "loss.py".
#pragma once

#include <Python.h>

namespace loss {

/// Adds one entry (`entry`, "loss.py", `line`) to the pending exception's
/// traceback. Called with an exception set; leaves it set.
void add_entry(const char *entry, int line) noexcept;

}  // namespace loss
