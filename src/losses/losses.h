// losses.h: the table rows of the five functions, each defined beside its body, and the
// argument checks that several bodies share.
#pragma once

#include "calls/function.h"

namespace loss {

extern const FnRow guassian_kernel_mmd_row;
extern const FnRow mmd_row;
extern const FnRow compute_joint_row;
extern const FnRow instance_contrastive_row;
extern const FnRow category_contrastive_row;

/// `kernel_mul=2, kernel_num=6, fix_sigma=None`: the module's one (2, 6, None), which the
/// kernel and `MMD` share as their defaults.
PyObject *kernel_defaults() noexcept;

/// Refuses a batch of no rows: ValueError naming the function and the argument, and -1;
/// otherwise 0. Only an int is judged. While torch traces, a symbolic size is left alone: a
/// comparison would add a guard, or fail for a size marked unbacked; torch keeps a size of 0
/// out of its symbolic sizes, so an empty batch arrives as the int 0 there too.
int refuse_empty(const FnRow &row, PyObject *rows, const char *argument) noexcept;

/// Refuses `kernel_mul` <= 0 and a negative `fix_sigma` (NaN for either) given as Python
/// numbers: ValueError naming the parameter, and -1; otherwise 0. Tensors are not read: their
/// value would wait for the device.
int check_kernel_parameters(const FnRow &row, PyObject *kernel_mul, PyObject *fix_sigma) noexcept;

}  // namespace loss
