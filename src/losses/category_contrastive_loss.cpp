// category_contrastive_loss.cpp: the category-level hinge loss over class-mean similarities.
#include "calls/ops.h"
#include "losses/losses.h"

namespace loss {

namespace {

const char kDoc[] =
    "Category-level contrastive loss.\n\n"
    "    This function computes loss on the representation corresponding to its groundtruth (repre, gt).  A\n\n"
    "    Args:\n"
    "      repre: [N, D] float tensor.\n"
    "      gt: [N, 1] float tensor.\n"
    "      classes:  int tensor.\n\n"
    "    Returns:\n"
    "      loss:  float tensor.\n"
    "    ";

/// The names only this function uses, and its keyword of line 196.
struct {
    PyObject *add, *argmax, *diag, *diag_embed, *float_, *functional, *keepdim, *matmul, *max, *mul, *nn, *one_hot,
        *relu, *repeat, *sub;
    PyObject *kw_keepdim;  // ("keepdim",)
} own;

int prepare() noexcept {
    if (intern_names({{&own.add, "add"},
                      {&own.argmax, "argmax"},
                      {&own.diag, "diag"},
                      {&own.diag_embed, "diag_embed"},
                      {&own.float_, "float"},
                      {&own.functional, "functional"},
                      {&own.keepdim, "keepdim"},
                      {&own.matmul, "matmul"},
                      {&own.max, "max"},
                      {&own.mul, "mul"},
                      {&own.nn, "nn"},
                      {&own.one_hot, "one_hot"},
                      {&own.relu, "relu"},
                      {&own.repeat, "repeat"},
                      {&own.sub, "sub"}}) < 0)
        return -1;
    return state_once(own.kw_keepdim, [] { return names_tuple({own.keepdim}); });
}

/// `torch.<name>(*args)`, the attribute fetched before the arguments are used;
/// with `kwnames`, the trailing arguments are keywords. This body makes seven such calls, more
/// than all the others together, so the lookup-and-call pair is one helper here.
template <class... Args>
PyObject *torch_call_kw(PyObject *name, PyObject *kwnames, Args... args) noexcept {
    Ref fn = Ref::steal(torch_attr(name));
    if (!fn) return nullptr;
    return call_kw(fn.get(), kwnames, args...);
}

template <class... Args>
PyObject *torch_call(PyObject *name, Args... args) noexcept {
    return torch_call_kw(name, nullptr, args...);
}

/// `flag_gt == True`, as a truth value.
int shift_wanted(PyObject *flag_gt) noexcept {
    Ref same = Ref::steal(PyObject_RichCompare(flag_gt, Py_True, Py_EQ));
    if (!same) return -1;
    return truth(same.get());
}

/// `gt.size()[0]`, as line 189 has it: torch's own size, without the int() of int_size0.
PyObject *first_size(PyObject *gt) noexcept {
    Ref size = Ref::steal(method(gt, S.names.size));
    if (!size) return nullptr;
    return PyObject_GetItem(size.get(), S.int0);
}

/// `torch.matmul(repre, repre.t())`
PyObject *similarities(PyObject *repre) noexcept {
    Ref matmul = Ref::steal(torch_attr(own.matmul));
    if (!matmul) return nullptr;
    Ref transposed = Ref::steal(method(repre, S.names.t));
    if (!transposed) return nullptr;
    return call(matmul.get(), repre, transposed.get());
}

/// `F_h_h - torch.diag_embed(F_hn_hn)`
PyObject *clear_diagonal(PyObject *F_h_h, PyObject *F_hn_hn) noexcept {
    Ref diagonal = Ref::steal(torch_call(own.diag_embed, F_hn_hn));
    if (!diagonal) return nullptr;
    return PyNumber_Subtract(F_h_h, diagonal.get());
}

/// `torch.nn.functional.one_hot(gt, classes).to(repre.dtype)`: the one-hot takes
/// the representations' dtype so that the product at line 197 works for any float type.
PyObject *one_hot(PyObject *gt, PyObject *classes, PyObject *repre) noexcept {
    Ref nn = Ref::steal(torch_attr(own.nn));
    if (!nn) return nullptr;
    Ref functional = Ref::steal(PyObject_GetAttr(nn.get(), own.functional));
    if (!functional) return nullptr;
    Ref encode = Ref::steal(PyObject_GetAttr(functional.get(), own.one_hot));
    if (!encode) return nullptr;
    Ref encoded = Ref::steal(call(encode.get(), gt, classes));
    if (!encoded) return nullptr;
    // `.to` is looked up before its argument is read, as the expression evaluates.
    Ref to = Ref::steal(PyObject_GetAttr(encoded.get(), S.names.to));
    if (!to) return nullptr;
    Ref dtype = Ref::steal(PyObject_GetAttr(repre, S.names.dtype));
    if (!dtype) return nullptr;
    return call(to.get(), dtype.get());
}

/// `label_num.repeat([gt.size()[0], 1]) - label_onehot`
PyObject *other_members(PyObject *label_num, PyObject *gt, PyObject *label_onehot) noexcept {
    Ref repeat = Ref::steal(PyObject_GetAttr(label_num, own.repeat));
    if (!repeat) return nullptr;
    Ref rows = Ref::steal(first_size(gt));
    if (!rows) return nullptr;
    Ref shape = Ref::steal(PyList_New(2));
    if (!shape) return nullptr;
    PyList_SET_ITEM(shape.get(), 0, rows.release());
    PyList_SET_ITEM(shape.get(), 1, new_ref(S.int1));
    Ref repeated = Ref::steal(call(repeat.get(), shape.get()));
    if (!repeated) return nullptr;
    return PyNumber_Subtract(repeated.get(), label_onehot);
}

/// `label_num_broadcast[label_num_broadcast == 0] = 1`, on the fresh tensor of line 198.
int no_empty_divisor(PyObject *label_num_broadcast) noexcept {
    Ref empty = Ref::steal(PyObject_RichCompare(label_num_broadcast, S.int0, Py_EQ));
    if (!empty) return -1;
    return PyObject_SetItem(label_num_broadcast, empty.get(), S.int1);
}

/// `torch.max(F_h_h_mean, dim=1)[0]`
PyObject *row_max(PyObject *F_h_h_mean) noexcept {
    Ref best = Ref::steal(torch_call_kw(own.max, S.kw_dim, F_h_h_mean, S.int1));
    if (!best) return nullptr;
    return PyObject_GetItem(best.get(), S.int0);
}

/// `(gt == gt_).float()`
PyObject *own_class_best(PyObject *gt, PyObject *gt_) noexcept {
    Ref same = Ref::steal(PyObject_RichCompare(gt, gt_, Py_EQ));
    if (!same) return nullptr;
    return method(same.get(), own.float_);
}

/// `torch.sum(torch.relu(torch.add(theta, torch.sub(F_h_h_mean_max, F_h_hn_mean))))`
PyObject *hinge(PyObject *theta, PyObject *F_h_h_mean_max, PyObject *F_h_hn_mean) noexcept {
    Ref sum = Ref::steal(torch_attr(S.names.sum));
    if (!sum) return nullptr;
    Ref relu = Ref::steal(torch_attr(own.relu));
    if (!relu) return nullptr;
    Ref add = Ref::steal(torch_attr(own.add));
    if (!add) return nullptr;
    Ref sub = Ref::steal(torch_attr(own.sub));
    if (!sub) return nullptr;
    Ref margin = Ref::steal(call(sub.get(), F_h_h_mean_max, F_h_hn_mean));
    if (!margin) return nullptr;
    Ref shifted = Ref::steal(call(add.get(), theta, margin.get()));
    if (!shifted) return nullptr;
    Ref clipped = Ref::steal(call(relu.get(), shifted.get()));
    if (!clipped) return nullptr;
    return call(sum.get(), clipped.get());
}

PyObject *category_contrastive_loss(FnObject *fn, PyObject *const *args) noexcept {
    PyObject *repre = args[0], *classes = args[2], *flag_gt = args[3];
    Steps s(fn);
    const FnRow &row = category_contrastive_row;
    // clang-format off
    if (!s.ok(row.def_line, check_representations(row, repre)))                       return nullptr;
    Ref gt = Ref::borrow(args[1]);
    int shift = shift_wanted(flag_gt);                                                  if (!s.ok(186, shift)) return nullptr;
    if (shift) { gt = s.at(187, PyNumber_Subtract(gt.get(), S.int1));                   if (!gt) return nullptr; }
    Ref batch_size = s.at(189, first_size(gt.get()));                                   if (!batch_size) return nullptr;
    Ref F_h_h = s.at(190, similarities(repre));                                         if (!F_h_h) return nullptr;
    Ref F_hn_hn = s.at(191, torch_call(own.diag, F_h_h.get()));                         if (!F_hn_hn) return nullptr;
    F_h_h = s.at(192, clear_diagonal(F_h_h.get(), F_hn_hn.get()));                      if (!F_h_h) return nullptr;
    Ref label_onehot = s.at(194, one_hot(gt.get(), classes, repre));                    if (!label_onehot) return nullptr;
    Ref label_num = s.at(196, torch_call_kw(S.names.sum, own.kw_keepdim, label_onehot.get(), S.int0, Py_True));
    if (!label_num) return nullptr;
    Ref F_h_h_sum = s.at(197, torch_call(own.matmul, F_h_h.get(), label_onehot.get())); if (!F_h_h_sum) return nullptr;
    Ref label_num_broadcast = s.at(198, other_members(label_num.get(), gt.get(), label_onehot.get()));
    if (!label_num_broadcast) return nullptr;
    if (!s.ok(199, no_empty_divisor(label_num_broadcast.get())))                        return nullptr;
    Ref F_h_h_mean = s.at(200, torch_call(S.names.div, F_h_h_sum.get(), label_num_broadcast.get()));
    if (!F_h_h_mean) return nullptr;
    Ref gt_ = s.at(201, torch_call_kw(own.argmax, S.kw_dim, F_h_h_mean.get(), S.int1)); if (!gt_) return nullptr;
    Ref F_h_h_mean_max = s.at(202, row_max(F_h_h_mean.get()));                          if (!F_h_h_mean_max) return nullptr;
    Ref theta = s.at(203, own_class_best(gt.get(), gt_.get()));                         if (!theta) return nullptr;
    // clang-format on
    Ref F_h_hn_mean_ = s.at(204, method(F_h_h_mean.get(), own.mul, label_onehot.get()));
    if (!F_h_hn_mean_) return nullptr;
    Ref F_h_hn_mean = s.at(205, torch_call_kw(S.names.sum, S.kw_dim, F_h_hn_mean_.get(), S.int1));
    if (!F_h_hn_mean) return nullptr;
    return s.at(206, hinge(theta.get(), F_h_h_mean_max.get(), F_h_hn_mean.get())).release();
}

constexpr const char *kParams[] = {"repre", "gt", "classes", "flag_gt"};
constexpr const char *kLocals[] = {
    "batch_size", "F_h_h", "F_hn_hn",        "label_onehot", "label_num",    "F_h_h_sum",  "label_num_broadcast",
    "F_h_h_mean", "gt_",   "F_h_h_mean_max", "theta",        "F_h_hn_mean_", "F_h_hn_mean"};

}  // namespace

// clang-format off
const FnRow category_contrastive_row = {
    /*name=*/&Names::category_contrastive_loss, /*entry=*/"loss.category_contrastive_loss", /*def_line=*/172,
    /*params=*/kParams, /*required=*/4, /*defaults=*/nullptr, /*shown=*/ShownDefaults::at_def,
    /*locals=*/kLocals, /*doc=*/kDoc, /*body=*/category_contrastive_loss, /*prepare=*/prepare,
};
// clang-format on

}  // namespace loss
