// mmd.cpp: the maximum mean discrepancy between a source and a target batch.
#include "calls/ops.h"
#include "losses/losses.h"

namespace loss {

namespace {

const char kDoc[] =
    "计算最大均值差异（MMD）损失\n\n"
    "    source: source样本，形状为 (sample_size_1, feature_size)\n"
    "    target: target样本，形状为 (sample_size_2, feature_size)\n"
    "    kernel_mul: 高斯核带宽的缩放因子\n"
    "    kernel_num: 核的数量\n"
    "    fix_sigma: 如果提供了sigma值，则固定带宽\n"
    "    ";

/// The keywords by which the kernel is called.
struct {
    PyObject *kernel_mul, *kernel_num, *fix_sigma;
    PyObject *kw_kernel;  // ("kernel_mul", "kernel_num", "fix_sigma")
} own;

int prepare() noexcept {
    if (intern_names(
            {{&own.kernel_mul, "kernel_mul"}, {&own.kernel_num, "kernel_num"}, {&own.fix_sigma, "fix_sigma"}}) < 0)
        return -1;
    return state_once(own.kw_kernel, [] { return names_tuple({own.kernel_mul, own.kernel_num, own.fix_sigma}); });
}

/// `guassian_kernel_mmd(source, target, kernel_mul=..., kernel_num=..., fix_sigma=...)`,
/// through the module global. `MMD`'s own five arguments, in this order, are the call's: their
/// array is passed on as it is, so no copy of it sits on the C stack of a recursion.
PyObject *kernel_matrix(PyObject *const *args) noexcept {
    Ref kernel = Ref::steal(global<&Names::guassian_kernel_mmd>());
    if (!kernel) return nullptr;
    return PyObject_Vectorcall(kernel.get(), args, 2, own.kw_kernel);
}

/// The batch a side of the kernel matrix belongs to: its first n rows (or columns) are the
/// source's, the rest the target's.
enum class Batch : bool { source, target };

/// `slice(None, n)` for the source's rows or columns, `slice(n, None)` for the target's.
PyObject *cut(PyObject *n, Batch batch) noexcept {
    return batch == Batch::source ? PySlice_New(Py_None, n, Py_None) : PySlice_New(n, Py_None, Py_None);
}

/// `kernels[rows, cols]`: the block of the `rows` batch against the `cols` batch.
PyObject *block(PyObject *kernels, PyObject *n, Batch rows_of, Batch cols_of) noexcept {
    Ref rows = Ref::steal(cut(n, rows_of));
    if (!rows) return nullptr;
    Ref cols = Ref::steal(cut(n, cols_of));
    if (!cols) return nullptr;
    Ref key = Ref::steal(PyTuple_Pack(2, rows.get(), cols.get()));
    if (!key) return nullptr;
    return PyObject_GetItem(kernels, key.get());
}

/// A block within one batch counts towards MMD, one across the two batches against it.
enum class Pairs : bool { within, across };

/// `a * b` within a batch, `(-a) * b` across.
PyObject *block_size(PyObject *a, PyObject *b, Pairs pairs) noexcept {
    if (pairs == Pairs::within) return PyNumber_Multiply(a, b);
    Ref minus = Ref::steal(PyNumber_Negative(a));
    if (!minus) return nullptr;
    return PyNumber_Multiply(minus.get(), b);
}

/// `torch.div(block, size).sum(dim=1).view(1, -1)` with the block's (signed) size.
PyObject *block_mean_rows(PyObject *block, PyObject *a, PyObject *b, Pairs pairs) noexcept {
    Ref div = Ref::steal(torch_attr(S.names.div));
    if (!div) return nullptr;
    Ref divisor = Ref::steal(block_size(a, b, pairs));
    if (!divisor) return nullptr;
    Ref scaled = Ref::steal(call(div.get(), block, divisor.get()));
    if (!scaled) return nullptr;
    Ref sums = Ref::steal(method_kw(scaled.get(), S.names.sum, S.kw_dim, S.int1));
    if (!sums) return nullptr;
    return method(sums.get(), S.names.view, S.int1, S.int_m1);
}

/// `XX.sum() + XY.sum() + YX.sum() + YY.sum()`, strictly left to right.
PyObject *total(PyObject *XX, PyObject *XY, PyObject *YX, PyObject *YY) noexcept {
    Ref acc = Ref::steal(method(XX, S.names.sum));
    if (!acc) return nullptr;
    PyObject *const parts[] = {XY, YX, YY};
    for (PyObject *part : parts) {
        Ref sum = Ref::steal(method(part, S.names.sum));
        if (!sum) return nullptr;
        acc = Ref::steal(PyNumber_Add(acc.get(), sum.get()));
        if (!acc) return nullptr;
    }
    return acc.release();
}

/// Lines 55 to 67, from the kernel matrix on: a frame of their own, so that a recursion
/// through the global `guassian_kernel_mmd` keeps only the few slots of `MMD` on the C stack.
LOSS_NOINLINE PyObject *mmd_of(Steps s, PyObject *kernels, PyObject *n, PyObject *m) noexcept {
    // clang-format off
    Ref XX = s.at(55, block(kernels, n, Batch::source, Batch::source));       if (!XX) return nullptr;
    Ref YY = s.at(56, block(kernels, n, Batch::target, Batch::target));       if (!YY) return nullptr;
    Ref XY = s.at(57, block(kernels, n, Batch::source, Batch::target));       if (!XY) return nullptr;
    Ref YX = s.at(58, block(kernels, n, Batch::target, Batch::source));       if (!YX) return nullptr;
    XX = s.at(61, block_mean_rows(XX.get(), n, n, Pairs::within));            if (!XX) return nullptr;
    XY = s.at(62, block_mean_rows(XY.get(), n, m, Pairs::across));            if (!XY) return nullptr;
    YX = s.at(63, block_mean_rows(YX.get(), m, n, Pairs::across));            if (!YX) return nullptr;
    YY = s.at(64, block_mean_rows(YY.get(), m, m, Pairs::within));            if (!YY) return nullptr;
    // clang-format on
    return s.at(67, total(XX.get(), XY.get(), YX.get(), YY.get())).release();
}

PyObject *MMD(FnObject *fn, PyObject *const *args) noexcept {
    PyObject *source = args[0], *target = args[1];
    const FnRow &row = mmd_row;
    Steps s(fn);
    // clang-format off
    if (!s.ok(row.def_line, check_kernel_parameters(row, args)))                         return nullptr;
    Ref D;
    Ref n = s.at(48, int_size0(source, &D));                                              if (!n) return nullptr;
    if (!s.ok(48, refuse_empty(row, n.get(), "source")))                                  return nullptr;
    if (!s.ok(48, refuse_no_columns(row, D.get(), "source", "features")))                 return nullptr;
    Ref m = s.at(49, int_size0(target, &D));                                              if (!m) return nullptr;
    if (!s.ok(49, refuse_empty(row, m.get(), "target")))                                  return nullptr;
    if (!s.ok(49, refuse_no_columns(row, D.get(), "target", "features")))                 return nullptr;
    Ref kernels = s.at(52, kernel_matrix(args));                                          if (!kernels) return nullptr;
    // clang-format on
    return mmd_of(s, kernels.get(), n.get(), m.get());
}

constexpr const char *kParams[] = {"source", "target", "kernel_mul", "kernel_num", "fix_sigma"};
constexpr const char *kLocals[] = {"n", "m", "kernels", "XX", "YY", "XY", "YX", "loss"};

}  // namespace

// clang-format off
const FnRow mmd_row = {
    /*name=*/&Names::MMD, /*entry=*/"loss.MMD", /*def_line=*/39,
    /*params=*/kParams, /*required=*/2, /*defaults=*/kernel_defaults, /*shown=*/ShownDefaults::at_def,
    /*locals=*/kLocals, /*doc=*/kDoc, /*body=*/MMD, /*prepare=*/prepare,
};
// clang-format on

}  // namespace loss
