// pairwise.h: how the kernel takes its steps, and its squared distances in blocks of rows where
// no observer of torch's calls can tell them from the broadcast sequence.
#pragma once

#include "ref.h"

namespace loss {

/// How the kernel reaches its values, all of them bit for bit the sequence's:
/// - `sequence`: the sequence's own calls, wherever anything may observe torch: inputs other than
///   plain tensors, an object with `__torch_function__` among the arguments, a torch function or
///   dispatch mode (fake tensors' and the compiler's among them), a functorch transform, a tracer,
///   a rebound global `torch`, or a dtype or layout the other routes do not serve;
/// - `unobserved`: plain strided tensors of one floating dtype and nothing watching: what the
///   sequence computes several times identically is computed once;
/// - `squares_in_place`: the same where autograd records nothing of the call: the differences are
///   squared in their own storage, so that one N x N x D temporary is alive at a time, not two
///   (with two, glibc hands the freed block back to the system and the next call faults it in
///   again, which threads then wait on one another for);
/// - `blocks`: unobserved on the CPU, with N x N x D large enough that the squared distances
///   taken in blocks of rows pay.
enum class Route { sequence, unobserved, squares_in_place, blocks };

/// Sets `route` for a call of the kernel with its five arguments `args`, `source` and `target`
/// stacked as `total`; 0, or -1 with the error set. Decided once per call, before any call that
/// differs between routes.
int choose_route(PyObject *const *args, PyObject *total, Route &route) noexcept;

/// `((total0 - total1) ** 2).sum(2)` of the sequence, bit for bit, a block of rows at a time and
/// each pair once, differentiable (first and higher order, forward mode too) through an autograd
/// Function whose backward also works from differences: it keeps only `total`.
PyObject *blocked_squared_distances(PyObject *total) noexcept;

}  // namespace loss
