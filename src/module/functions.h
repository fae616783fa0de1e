// functions.h: the function table the exec step defines the module's functions from.
#pragma once

#include "calls/function.h"

namespace loss {

/// The five rows, in the order "loss.py" defines them.
extern const FnRow *const kRows[kFunctions];

}  // namespace loss
