// compute_joint.cpp: the symmetric, normalised joint distribution of two batches of scores.
#include "calls/ops.h"
#include "losses/losses.h"

namespace loss {

namespace {

/// `assert x_tf_out.size(0) == bn and x_tf_out.size(1) == k`
int check_shape(PyObject *x_tf_out, PyObject *bn, PyObject *k) noexcept {
    PyObject *dims[] = {S.int0, S.int1};
    PyObject *expected[] = {bn, k};
    for (int d = 0; d < 2; ++d) {
        Ref size = Ref::steal(method(x_tf_out, S.names.size, dims[d]));
        if (!size) return -1;
        Ref same = Ref::steal(PyObject_RichCompare(size.get(), expected[d], Py_EQ));
        if (!same) return -1;
        int holds = truth(same.get());
        if (holds < 0) return -1;
        if (!holds) return raise_assertion();
    }
    return 0;
}

/// `x_out.unsqueeze(2) * x_tf_out.unsqueeze(1)`
PyObject *outer(PyObject *x_out, PyObject *x_tf_out) noexcept {
    Ref left = Ref::steal(method(x_out, S.names.unsqueeze, S.int2));
    if (!left) return nullptr;
    Ref right = Ref::steal(method(x_tf_out, S.names.unsqueeze, S.int1));
    if (!right) return nullptr;
    return PyNumber_Multiply(left.get(), right.get());
}

/// `(p_i_j + p_i_j.t()) / 2.0`
PyObject *symmetrise(PyObject *p_i_j) noexcept {
    Ref transposed = Ref::steal(method(p_i_j, S.names.t));
    if (!transposed) return nullptr;
    Ref both = Ref::steal(PyNumber_Add(p_i_j, transposed.get()));
    if (!both) return nullptr;
    return PyNumber_TrueDivide(both.get(), S.float2);
}

/// `p_i_j / p_i_j.sum()`
PyObject *normalise(PyObject *p_i_j) noexcept {
    Ref total = Ref::steal(method(p_i_j, S.names.sum));
    if (!total) return nullptr;
    return PyNumber_TrueDivide(p_i_j, total.get());
}

PyObject *compute_joint(FnObject *fn, PyObject *const *args) noexcept {
    PyObject *x_out = args[0], *x_tf_out = args[1];
    Steps s(fn);
    Ref bn, k;
    // clang-format off
    Ref size = s.at(139, method(x_out, S.names.size));                      if (!size) return nullptr;
    if (!s.ok(139, unpack2(size.get(), bn, k)))                             return nullptr;
    if (!s.ok(139, refuse_empty(compute_joint_row, bn.get(), "x_out")))     return nullptr;
    if (asserts_on() && !s.ok(140, check_shape(x_tf_out, bn.get(), k.get())))  return nullptr;
    Ref p_i_j = s.at(142, outer(x_out, x_tf_out));                          if (!p_i_j) return nullptr;
    p_i_j = s.at(143, method_kw(p_i_j.get(), S.names.sum, S.kw_dim, S.int0)); if (!p_i_j) return nullptr;
    p_i_j = s.at(144, symmetrise(p_i_j.get()));                             if (!p_i_j) return nullptr;
    p_i_j = s.at(145, normalise(p_i_j.get()));                              if (!p_i_j) return nullptr;
    // clang-format on
    return p_i_j.release();
}

constexpr const char *kParams[] = {"x_out", "x_tf_out"};
constexpr const char *kLocals[] = {"bn", "k", "p_i_j"};

}  // namespace

// clang-format off
const FnRow compute_joint_row = {
    /*name=*/&Names::compute_joint, /*entry=*/"loss.compute_joint", /*def_line=*/136,
    /*params=*/kParams, /*required=*/2, /*defaults=*/nullptr, /*shown=*/ShownDefaults::at_def,
    /*locals=*/kLocals, /*doc=*/nullptr, /*body=*/compute_joint, /*prepare=*/nullptr,
};
// clang-format on

}  // namespace loss
