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

/// Refuses a batch of no columns (`columns` an int 0; null or anything else is left alone):
/// ValueError naming the function, the argument and what its columns hold, and -1; otherwise 0.
int refuse_no_columns(const FnRow &row, PyObject *columns, const char *argument, const char *what) noexcept;

/// The kernel's and MMD's checks of their five arguments `args`: ValueError and -1 for source and
/// target tensors that stack to an integer dtype whose differences and squares wrap around, for a
/// `kernel_mul` not greater than 0 or not finite, a `fix_sigma` negative or not finite (NaN for
/// either), and a ladder of bandwidths that over- or underflows in the features' float type;
/// otherwise 0. Every real number is judged (NumPy's scalars too); tensors are not read, as their
/// value would wait for the device.
int check_kernel_parameters(const FnRow &row, PyObject *const *args) noexcept;

/// The same checks of a tensor `fix_sigma`, once the truth test of line 26 has read it on the host.
int check_tensor_sigma(const FnRow &row, PyObject *const *args) noexcept;

/// Refuses representations of an integer dtype that wraps around, or of no features.
int check_representations(const FnRow &row, PyObject *repre) noexcept;

/// Refuses an `EPS` at or above 1, or not finite; a negative one floors nothing, as 0 does.
int check_eps(const FnRow &row, PyObject *EPS) noexcept;

}  // namespace loss
