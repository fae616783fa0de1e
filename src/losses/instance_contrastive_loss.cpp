// instance_contrastive_loss.cpp: the negative mutual information of the joint distribution.
#include "calls/ops.h"
#include "losses/losses.h"

namespace loss {

namespace {

const char kDoc[] = "Contrastive loss for maximizng the consistency";

/// The names only this function uses, its keyword and its one constant.
struct {
    PyObject *Tensor, *tensor, *log, *device, *float_info, *epsilon;
    PyObject *kw_device;  // ("device",)
    PyObject *half_min;   // 2**-24, float16's smallest positive number
} own;

int prepare() noexcept {
    if (intern_names({{&own.Tensor, "Tensor"},
                      {&own.tensor, "tensor"},
                      {&own.log, "log"},
                      {&own.device, "device"},
                      {&own.float_info, "float_info"},
                      {&own.epsilon, "epsilon"}}) < 0)
        return -1;
    if (state_once(own.kw_device, [] { return names_tuple({own.device}); }) < 0) return -1;
    return state_once(own.half_min, [] { return PyFloat_FromDouble(0x1p-24); });
}

/// `assert p_i_j.size() == (k, k)`
int check_square(PyObject *p_i_j, PyObject *k) noexcept {
    Ref size = Ref::steal(method(p_i_j, S.names.size));
    if (!size) return -1;
    Ref expected = Ref::steal(PyTuple_Pack(2, k, k));
    if (!expected) return -1;
    Ref same = Ref::steal(PyObject_RichCompare(size.get(), expected.get(), Py_EQ));
    if (!same) return -1;
    int holds = truth(same.get());
    if (holds < 0) return -1;
    return holds ? 0 : raise_assertion();
}

/// `p_i_j.sum(dim=dim).view(*shape).expand(k, k)`
PyObject *marginal(PyObject *p_i_j, PyObject *dim, PyObject *rows, PyObject *cols, PyObject *k) noexcept {
    Ref sums = Ref::steal(method_kw(p_i_j, S.names.sum, S.kw_dim, dim));
    if (!sums) return nullptr;
    Ref viewed = Ref::steal(method(sums.get(), S.names.view, rows, cols));
    if (!viewed) return nullptr;
    return method(viewed.get(), S.names.expand, k, k);
}

/// `(EPS > 0) & (EPS.to(torch.float16) == 0)`, for a tensor EPS.
PyObject *vanishes_in_float16(PyObject *EPS) noexcept {
    Ref positive = Ref::steal(PyObject_RichCompare(EPS, S.int0, Py_GT));
    if (!positive) return nullptr;
    Ref float16 = Ref::steal(torch_attr(S.names.float16));
    if (!float16) return nullptr;
    Ref half = Ref::steal(method(EPS, S.names.to, float16.get()));
    if (!half) return nullptr;
    Ref zero = Ref::steal(PyObject_RichCompare(half.get(), S.int0, Py_EQ));
    if (!zero) return nullptr;
    return PyNumber_And(positive.get(), zero.get());
}

/// The lower bound for the joint and its marginals, which share its dtype: `EPS`, unless they
/// are float16 and EPS is positive but 0 in float16 (the default is): nothing would be lifted
/// and 0 * log(0) would be NaN. The bound is then float16's smallest positive number, below
/// which lie only exact zeros: every nonzero probability keeps its value and its gradient.
/// A tensor EPS is judged on its device, with torch.where, so nothing waits for it.
PyObject *bound_for(PyObject *p, PyObject *EPS) noexcept {
    // An int is 0 in float16 only when it is 0, which asks for no bound.
    if (PyLong_Check(EPS)) return new_ref(EPS);
    int half = is_float16(p);
    if (half <= 0) return half < 0 ? nullptr : new_ref(EPS);
    Ref tensor = Ref::steal(torch_attr(own.Tensor));
    if (!tensor) return nullptr;
    int is_tensor = PyObject_IsInstance(EPS, tensor.get());
    if (is_tensor < 0) return nullptr;
    if (is_tensor) {
        Ref where = Ref::steal(torch_attr(S.names.where));
        if (!where) return nullptr;
        Ref vanishes = Ref::steal(vanishes_in_float16(EPS));
        if (!vanishes) return nullptr;
        return call(where.get(), vanishes.get(), own.half_min, EPS);
    }
    // Other numbers (a NumPy float32) are read on the host; anything else is left as it is.
    PyNumberMethods *number = Py_TYPE(EPS)->tp_as_number;
    if (!PyFloat_Check(EPS) && !(number && number->nb_float)) return new_ref(EPS);
    Ref value = Ref::steal(PyNumber_Float(EPS));
    if (!value) return nullptr;
    double eps = PyFloat_AS_DOUBLE(value.get());
    // float16 rounds 2**-25, halfway to its smallest number, down to 0.
    return new_ref(eps > 0 && eps <= 0x1p-25 ? own.half_min : EPS);
}

/// `torch.where(p < EPS, torch.tensor([EPS], device=p.device), p)`
PyObject *bounded(PyObject *p, PyObject *EPS) noexcept {
    Ref where = Ref::steal(torch_attr(S.names.where));
    if (!where) return nullptr;
    Ref below = Ref::steal(PyObject_RichCompare(p, EPS, Py_LT));
    if (!below) return nullptr;
    Ref tensor = Ref::steal(torch_attr(own.tensor));
    if (!tensor) return nullptr;
    Ref values = Ref::steal(PyList_New(1));
    if (!values) return nullptr;
    PyList_SET_ITEM(values.get(), 0, new_ref(EPS));
    Ref device = Ref::steal(PyObject_GetAttr(p, own.device));
    if (!device) return nullptr;
    Ref filler = Ref::steal(call_kw(tensor.get(), own.kw_device, values.get(), device.get()));
    if (!filler) return nullptr;
    return call(where.get(), below.get(), filler.get(), p);
}

/// `torch.log(p)`
PyObject *log_of(PyObject *p) noexcept {
    Ref log = Ref::steal(torch_attr(own.log));
    if (!log) return nullptr;
    return call(log.get(), p);
}

/// `lamb * torch.log(p)`
PyObject *weighted_log(PyObject *lamb, PyObject *p) noexcept {
    Ref log = Ref::steal(log_of(p));
    if (!log) return nullptr;
    return PyNumber_Multiply(lamb, log.get());
}

/// `_, k = x_out.size()`, refusing zero rows. Out of line, as the steps after the joint: a
/// recursion through the global `compute_joint` keeps only the body's few slots on the C stack.
LOSS_NOINLINE int columns(Steps s, PyObject *x_out, Ref &k) noexcept {
    Ref _;
    // clang-format off
    Ref size = s.at(152, method(x_out, S.names.size));                         if (!size) return -1;
    if (!s.ok(152, unpack2(size.get(), _, k)))                                 return -1;
    if (!s.ok(152, refuse_empty(instance_contrastive_row, _.get(), "x_out")))  return -1;
    // clang-format on
    if (!s.ok(152, refuse_no_columns(instance_contrastive_row, k.get(), "x_out", "scores"))) return -1;
    return 0;
}

/// Lines 154 to 167, from the joint (a new reference, taken over) on.
LOSS_NOINLINE PyObject *loss_of(Steps s, PyObject *joint, PyObject *k, PyObject *lamb, PyObject *EPS) noexcept {
    Ref p_i_j = Ref::steal(joint);
    // clang-format off
    if (asserts_on() && !s.ok(154, check_square(p_i_j.get(), k)))                 return nullptr;
    Ref p_i = s.at(156, marginal(p_i_j.get(), S.int1, k, S.int1, k));          if (!p_i) return nullptr;
    Ref p_j = s.at(157, marginal(p_i_j.get(), S.int0, S.int1, k, k));          if (!p_j) return nullptr;
    Ref bound = s.at(159, bound_for(p_i_j.get(), EPS));                        if (!bound) return nullptr;
    p_i_j = s.at(159, bounded(p_i_j.get(), bound.get()));                      if (!p_i_j) return nullptr;
    p_j = s.at(160, bounded(p_j.get(), bound.get()));                          if (!p_j) return nullptr;
    p_i = s.at(161, bounded(p_i.get(), bound.get()));                          if (!p_i) return nullptr;
    // -p_i_j * (torch.log(p_i_j) - lamb * torch.log(p_j) - lamb * torch.log(p_i))
    Ref minus = s.at(163, PyNumber_Negative(p_i_j.get()));                     if (!minus) return nullptr;
    Ref log_joint = s.at(163, log_of(p_i_j.get()));                            if (!log_joint) return nullptr;
    Ref log_col = s.at(164, weighted_log(lamb, p_j.get()));                    if (!log_col) return nullptr;
    Ref inner = s.at(164, PyNumber_Subtract(log_joint.get(), log_col.get()));  if (!inner) return nullptr;
    Ref log_row = s.at(165, weighted_log(lamb, p_i.get()));                    if (!log_row) return nullptr;
    inner = s.at(165, PyNumber_Subtract(inner.get(), log_row.get()));          if (!inner) return nullptr;
    Ref loss = s.at(163, PyNumber_Multiply(minus.get(), inner.get()));         if (!loss) return nullptr;
    // clang-format on
    return s.at(167, method(loss.get(), S.names.sum)).release();
}

PyObject *instance_contrastive_Loss(FnObject *fn, PyObject *const *args) noexcept {
    Steps s(fn);
    // clang-format off
    if (!s.ok(instance_contrastive_row.def_line, check_eps(instance_contrastive_row, args[3])))             return nullptr;
    Ref k;
    if (columns(s, args[0], k) < 0)                                                 return nullptr;
    Ref joint = s.at(153, global<&Names::compute_joint>());                         if (!joint) return nullptr;
    // x_out and x_tf_out lead the body's own array: passed on as they are, not copied.
    Ref p_i_j = s.at(153, PyObject_Vectorcall(joint.get(), args, 2, nullptr));        if (!p_i_j) return nullptr;
    // clang-format on
    return loss_of(s, p_i_j.release(), k.get(), args[2], args[3]);
}

/// `lamb=1.0, EPS=sys.float_info.epsilon`, the epsilon read when the `def` runs.
PyObject *instance_defaults() noexcept {
    Ref sys = Ref::steal(global<&Names::sys>());
    if (!sys) return nullptr;
    Ref float_info = Ref::steal(PyObject_GetAttr(sys.get(), own.float_info));
    if (!float_info) return nullptr;
    Ref epsilon = Ref::steal(PyObject_GetAttr(float_info.get(), own.epsilon));
    if (!epsilon) return nullptr;
    return PyTuple_Pack(2, S.float1, epsilon.get());
}

constexpr const char *kParams[] = {"x_out", "x_tf_out", "lamb", "EPS"};
constexpr const char *kLocals[] = {"_", "k", "p_i_j", "p_i", "p_j", "loss"};

}  // namespace

// clang-format off
const FnRow instance_contrastive_row = {
    /*name=*/&Names::instance_contrastive_Loss, /*entry=*/"loss.instance_contrastive_Loss", /*def_line=*/150,
    /*params=*/kParams, /*required=*/2, /*defaults=*/instance_defaults, /*shown=*/ShownDefaults::on_first_read,
    /*locals=*/kLocals, /*doc=*/kDoc, /*body=*/instance_contrastive_Loss, /*prepare=*/prepare,
};
// clang-format on

}  // namespace loss
