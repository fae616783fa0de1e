// guassian_kernel_mmd.cpp: the sum of Gaussian kernel matrices over a ladder of bandwidths.
#include "calls/ops.h"
#include "losses/losses.h"
#include "losses/pairwise.h"

#include <utility>

namespace loss {

namespace {

const char kDoc[] =
    "计算高斯核矩阵（Gram Kernel Matrix），并返回MMD损失的核矩阵。\n\n"
    "    source: source样本，形状为 (sample_size_1, feature_size)\n"
    "    target: target样本，形状为 (sample_size_2, feature_size)\n"
    "    kernel_mul: 高斯核带宽的缩放因子\n"
    "    kernel_num: 核的数量\n"
    "    fix_sigma: 如果提供了sigma值，则固定带宽\n"
    "    ";

/// The names only this function uses, and the keyword of its float32 sum.
struct {
    PyObject *cat, *data, *exp, *float32, *pow_;
    PyObject *kw_dtype;  // ("dtype",)
} own;

int prepare() noexcept {
    if (intern_names({{&own.cat, "cat"},
                      {&own.data, "data"},
                      {&own.exp, "exp"},
                      {&own.float32, "float32"},
                      {&own.pow_, "pow_"}}) < 0)
        return -1;
    return state_once(own.kw_dtype, [] { return names_tuple({S.names.dtype}); });
}

/// `int(source.size()[0]) + int(target.size()[0])`
PyObject *count_samples(PyObject *source, PyObject *target) noexcept {
    Ref n = Ref::steal(int_size0(source));
    if (!n) return nullptr;
    Ref m = Ref::steal(int_size0(target));
    if (!m) return nullptr;
    return PyNumber_Add(n.get(), m.get());
}

/// `torch.cat([source, target], dim=0)`
PyObject *stack_rows(PyObject *source, PyObject *target) noexcept {
    Ref cat = Ref::steal(torch_attr(own.cat));
    if (!cat) return nullptr;
    Ref both = Ref::steal(PyList_New(2));
    if (!both) return nullptr;
    PyList_SET_ITEM(both.get(), 0, new_ref(source));
    PyList_SET_ITEM(both.get(), 1, new_ref(target));
    return call_kw(cat.get(), S.kw_dim, both.get(), S.int0);
}

/// `total.unsqueeze(dim).expand(int(total.size(0)), int(total.size(0)), int(total.size(1)))`
PyObject *expand_square(PyObject *total, PyObject *dim) noexcept {
    Ref unsqueezed = Ref::steal(method(total, S.names.unsqueeze, dim));
    if (!unsqueezed) return nullptr;
    Ref expand = Ref::steal(PyObject_GetAttr(unsqueezed.get(), S.names.expand));
    if (!expand) return nullptr;
    Ref rows = Ref::steal(int_size(total, S.int0));
    if (!rows) return nullptr;
    Ref cols = Ref::steal(int_size(total, S.int0));
    if (!cols) return nullptr;
    Ref features = Ref::steal(int_size(total, S.int1));
    if (!features) return nullptr;
    return call(expand.get(), rows.get(), cols.get(), features.get());
}

/// `((total0 - total1) ** 2).sum(2)`; with `route` `squares_in_place`, `** 2` as `.pow_(2)`, the
/// same values in the differences' own storage.
PyObject *squared_distances(PyObject *total0, PyObject *total1, Route route) noexcept {
    Ref diff = Ref::steal(PyNumber_Subtract(total0, total1));
    if (!diff) return nullptr;
    Ref squared = Ref::steal(route == Route::squares_in_place ? method(diff.get(), own.pow_, S.int2)
                                                              : PyNumber_Power(diff.get(), S.int2, Py_None));
    if (!squared) return nullptr;
    return method(squared.get(), S.names.sum, S.int2);
}

/// `torch.sum(data)`, in float32 for float16 data: a batch's distances add up
/// past float16's largest value (65504) already at 32 + 32 rows of 16 features.
PyObject *sum_distances(PyObject *data) noexcept {
    Ref sum = Ref::steal(torch_attr(S.names.sum));
    if (!sum) return nullptr;
    int half = is_float16(data);
    if (half < 0) return nullptr;
    if (!half) return call(sum.get(), data);
    Ref float32 = Ref::steal(torch_attr(own.float32));
    if (!float32) return nullptr;
    return call_kw(sum.get(), own.kw_dtype, data, float32.get());
}

/// `torch.sum(L2_distance.data) / (n_samples ** 2 - n_samples)`; `.data` keeps
/// the gradient out of the bandwidth.
PyObject *mean_distance(PyObject *L2_distance, PyObject *n_samples) noexcept {
    Ref data = Ref::steal(PyObject_GetAttr(L2_distance, own.data));
    if (!data) return nullptr;
    Ref total = Ref::steal(sum_distances(data.get()));
    if (!total) return nullptr;
    Ref squared = Ref::steal(PyNumber_Power(n_samples, S.int2, Py_None));
    if (!squared) return nullptr;
    Ref pairs = Ref::steal(PyNumber_Subtract(squared.get(), n_samples));
    if (!pairs) return nullptr;
    return PyNumber_TrueDivide(total.get(), pairs.get());
}

/// Whose bandwidth the ladder starts from: the caller's fix_sigma, or one computed from the data.
enum class Bandwidth { callers, data };

/// `bandwidth /= kernel_mul ** (kernel_num // 2)`. A caller's fix_sigma is divided without being
/// modified; a bandwidth computed here is ours to divide in place. The quotient is the ladder's
/// smallest bandwidth, and with no two rows apart it is not positive: 0 for collapsed features,
/// 0/0 for one row in all, or 0 by underflow for rows closer than the dtype resolves (2**-74
/// apart in float32). Every kernel entry would then be exp(-0/0) = NaN; such rows count as
/// collapsed and the quotient is 1 / divisor, as from a base bandwidth of 1. So is a NaN from NaN
/// features: the kernel is then NaN in their rows and columns alone, and MMD NaN as before.
/// torch.where decides on the device, without a synchronisation.
PyObject *centre_ladder(PyObject *bandwidth, Bandwidth given, PyObject *kernel_mul, PyObject *kernel_num) noexcept {
    Ref half = Ref::steal(PyNumber_FloorDivide(kernel_num, S.int2));
    if (!half) return nullptr;
    Ref divisor = Ref::steal(PyNumber_Power(kernel_mul, half.get(), Py_None));
    if (!divisor) return nullptr;
    if (given == Bandwidth::callers) return PyNumber_TrueDivide(bandwidth, divisor.get());
    Ref smallest = Ref::steal(PyNumber_InPlaceTrueDivide(bandwidth, divisor.get()));
    if (!smallest) return nullptr;
    Ref where = Ref::steal(torch_attr(S.names.where));
    if (!where) return nullptr;
    Ref apart = Ref::steal(PyObject_RichCompare(smallest.get(), S.int0, Py_GT));
    if (!apart) return nullptr;
    Ref collapsed = Ref::steal(PyNumber_TrueDivide(S.float1, divisor.get()));
    if (!collapsed) return nullptr;
    return call(where.get(), apart.get(), smallest.get(), collapsed.get());
}

/// `[bandwidth * (kernel_mul ** i) for i in range(kernel_num)]`
PyObject *bandwidth_ladder(PyObject *bandwidth, PyObject *kernel_mul, PyObject *kernel_num) noexcept {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    Ref range = Ref::steal(call(S.builtin_range, kernel_num));
    if (!range) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(range.get()));
    if (!it) return nullptr;
    while (Ref i = Ref::steal(PyIter_Next(it.get()))) {
        Ref ratio = Ref::steal(PyNumber_Power(kernel_mul, i.get(), Py_None));
        if (!ratio) return nullptr;
        Ref width = Ref::steal(PyNumber_Multiply(bandwidth, ratio.get()));
        if (!width || PyList_Append(list.get(), width.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return list.release();
}

/// Lines 19 to 23 as the sequence makes them:
/// `total0 = ...; total1 = ...; L2_distance = ((total0 - total1) ** 2).sum(2)`.
PyObject *broadcast_distances(const Steps &s, PyObject *total, Route route) noexcept {
    // clang-format off
    Ref total0 = s.at(19, expand_square(total, S.int0));                       if (!total0) return nullptr;
    Ref total1 = s.at(20, expand_square(total, S.int1));                       if (!total1) return nullptr;
    // clang-format on
    return s.at(23, squared_distances(total0.get(), total1.get(), route)).release();
}

/// `exp(negated / bandwidth_temp)`, `exp` being `torch.exp` and `negated` `-L2_distance`.
PyObject *gaussian(PyObject *exp, PyObject *negated, PyObject *bandwidth_temp) noexcept {
    Ref scaled = Ref::steal(PyNumber_TrueDivide(negated, bandwidth_temp));
    if (!scaled) return nullptr;
    return call(exp, scaled.get());
}

/// `[torch.exp(-L2_distance / bandwidth_temp) for bandwidth_temp in bandwidth_list]`
PyObject *kernels(PyObject *L2_distance, PyObject *bandwidth_list) noexcept {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (Py_ssize_t q = 0; q < PyList_GET_SIZE(bandwidth_list); ++q) {
        Ref bandwidth_temp = Ref::borrow(PyList_GET_ITEM(bandwidth_list, q));
        Ref exp = Ref::steal(torch_attr(own.exp));
        if (!exp) return nullptr;
        Ref negated = Ref::steal(PyNumber_Negative(L2_distance));
        if (!negated) return nullptr;
        Ref kernel = Ref::steal(gaussian(exp.get(), negated.get(), bandwidth_temp.get()));
        if (!kernel || PyList_Append(list.get(), kernel.get()) < 0) return nullptr;
    }
    return list.release();
}

/// Lines 36 and 38 where nothing observes torch, to the same values: `-L2_distance` negated
/// once, as it is the same tensor for every bandwidth, and each kernel added as it comes, from
/// the first on rather than to `0 + kernel_val[0]` (an exponential is never -0, so that addition
/// changes nothing), so that no more than one kernel is held beside the sum.
PyObject *summed_kernels(const Steps &s, PyObject *L2_distance, PyObject *bandwidth_list) noexcept {
    Py_ssize_t count = PyList_GET_SIZE(bandwidth_list);
    if (count == 0) return new_ref(S.int0);
    Ref negated = s.at(36, PyNumber_Negative(L2_distance));
    if (!negated) return nullptr;
    Ref sum;
    for (Py_ssize_t q = 0; q < count; ++q) {
        Ref exp = s.at(36, torch_attr(own.exp));
        if (!exp) return nullptr;
        Ref kernel = s.at(36, gaussian(exp.get(), negated.get(), PyList_GET_ITEM(bandwidth_list, q)));
        if (!kernel) return nullptr;
        sum = sum ? s.at(38, PyNumber_Add(sum.get(), kernel.get())) : std::move(kernel);
        if (!sum) return nullptr;
    }
    // One kernel alone is torch.exp's own result, which its backward keeps: a caller's in-place
    // change of it would break the backward, so it is handed out as `0 + kernel_val[0]` is.
    if (count == 1) return s.at(38, PyNumber_Add(S.int0, sum.get())).release();
    return sum.release();
}

PyObject *guassian_kernel_mmd(FnObject *fn, PyObject *const *args) noexcept {
    PyObject *source = args[0], *target = args[1], *kernel_mul = args[2], *kernel_num = args[3], *fix_sigma = args[4];
    const FnRow &row = guassian_kernel_mmd_row;
    Steps s(fn);
    // clang-format off
    if (!s.ok(row.def_line, check_kernel_parameters(row, args)))         return nullptr;
    Ref n_samples = s.at(16, count_samples(source, target));           if (!n_samples) return nullptr;
    Ref total = s.at(17, stack_rows(source, target));                  if (!total) return nullptr;
    Route route = Route::sequence;
    if (!s.ok(19, choose_route(args, total.get(), route)))             return nullptr;
    Ref L2_distance = route == Route::blocks ? s.at(23, blocked_squared_distances(total.get()))
                                             : Ref::steal(broadcast_distances(s, total.get(), route));
    if (!L2_distance) return nullptr;
    int fixed = truth(fix_sigma);                                      if (!s.ok(26, fixed)) return nullptr;
    if (fixed && !s.ok(26, check_tensor_sigma(row, args)))             return nullptr;
    Ref bandwidth = fixed ? Ref::borrow(fix_sigma) : s.at(29, mean_distance(L2_distance.get(), n_samples.get()));
    if (!bandwidth) return nullptr;
    bandwidth = s.at(30, centre_ladder(bandwidth.get(), fixed ? Bandwidth::callers : Bandwidth::data, kernel_mul, kernel_num)); if (!bandwidth) return nullptr;
    Ref bandwidth_list = s.at(33, bandwidth_ladder(bandwidth.get(), kernel_mul, kernel_num)); if (!bandwidth_list) return nullptr;
    if (route != Route::sequence) return summed_kernels(s, L2_distance.get(), bandwidth_list.get());
    Ref kernel_val = s.at(36, kernels(L2_distance.get(), bandwidth_list.get())); if (!kernel_val) return nullptr;
    // clang-format on
    return s.at(38, call(S.builtin_sum, kernel_val.get())).release();
}

constexpr const char *kParams[] = {"source", "target", "kernel_mul", "kernel_num", "fix_sigma"};
constexpr const char *kLocals[] = {"n_samples", "total",          "total0",     "total1", "L2_distance",
                                   "bandwidth", "bandwidth_list", "kernel_val", "i",      "bandwidth_temp"};

}  // namespace

PyObject *kernel_defaults() noexcept { return new_ref(S.defaults); }

// clang-format off
const FnRow guassian_kernel_mmd_row = {
    /*name=*/&Names::guassian_kernel_mmd, /*entry=*/"loss.guassian_kernel_mmd", /*def_line=*/7,
    /*params=*/kParams, /*required=*/2, /*defaults=*/kernel_defaults, /*shown=*/ShownDefaults::at_def,
    /*locals=*/kLocals, /*doc=*/kDoc, /*body=*/guassian_kernel_mmd, /*prepare=*/prepare,
};
// clang-format on

}  // namespace loss
