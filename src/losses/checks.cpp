// checks.cpp: the argument checks shared by the bodies: empty and featureless batches, features
// whose integer dtype wraps around, the kernel's parameters and bandwidths, the instance loss's EPS.
#include "losses/losses.h"

#include "calls/ops.h"

#include <atomic>
#include <cmath>
#include <new>
#include <utility>

namespace loss {

namespace {

/// What the checks need of torch: its tensor type and the dtypes they tell apart, from the torch
/// that `import torch` gave, made on first use and kept until the process ends.
struct Torch {
    PyObject *tensor = nullptr;
    // Differences and squares of these wrap around at values features hold: 255 - 0 squared is
    // already past int16; int32 sums of 8-bit squares wrap past 33,000 features. int64 wraps only
    // past 3 * 10**9 apart, beyond anything a feature encodes: it computes as float does.
    PyObject *wrapping[7] = {};
    PyObject *bool_ = nullptr, *float64 = nullptr, *complex128 = nullptr;
    PyObject *observed = nullptr;  // torch.overrides.has_torch_function_variadic
};

constexpr const char *kWrapping[] = {"int8", "uint8", "int16", "int32", "uint16", "uint32", "uint64"};

std::atomic<Torch *> the_torch{nullptr};

/// An attribute of torch, or null with no error where this torch lacks it (uint16 to uint64
/// came with 2.3).
PyObject *optional_attr(PyObject *torch, const char *name) noexcept {
    PyObject *value = PyObject_GetAttrString(torch, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
}

void free_torch(Torch *t) noexcept {
    Py_XDECREF(t->tensor);
    for (PyObject *d : t->wrapping) Py_XDECREF(d);
    Py_XDECREF(t->bool_);
    Py_XDECREF(t->float64);
    Py_XDECREF(t->complex128);
    Py_XDECREF(t->observed);
    t->~Torch();
    PyMem_RawFree(t);
}

/// The torch of the checks; null, with no error, while torch is not imported or where it is not
/// the torch they know; -1 with the error set.
int torch_of_checks(const Torch *&out) noexcept {
    out = the_torch.load(std::memory_order_acquire);
    if (out) return 0;
    Ref torch = Ref::steal(PyImport_GetModule(S.names.torch));
    if (!torch) return PyErr_Occurred() ? -1 : 0;
    void *raw = PyMem_RawMalloc(sizeof(Torch));
    if (!raw) {
        PyErr_NoMemory();
        return -1;
    }
    Torch *made = ::new (raw) Torch();
    made->tensor = optional_attr(torch.get(), "Tensor");
    for (int i = 0; i < 7; ++i) made->wrapping[i] = optional_attr(torch.get(), kWrapping[i]);
    made->bool_ = optional_attr(torch.get(), "bool");
    made->float64 = optional_attr(torch.get(), "float64");
    made->complex128 = optional_attr(torch.get(), "complex128");
    Ref overrides = Ref::steal(optional_attr(torch.get(), "overrides"));
    if (overrides) made->observed = optional_attr(overrides.get(), "has_torch_function_variadic");
    if (PyErr_Occurred() || !made->tensor || !PyType_Check(made->tensor) || !made->float64 || !made->observed) {
        free_torch(made);
        return PyErr_Occurred() ? -1 : 0;
    }
    // Threads that make it at once: the first to store it has it used by all.
    Torch *expected = nullptr;
    if (!the_torch.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        free_torch(made);
        made = expected;
    }
    out = made;
    return 0;
}

bool is_tensor(const Torch *t, PyObject *o) noexcept {
    return t && PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(t->tensor));
}

/// Whether reading the tensors `args` would show in what an observer of torch sees (a subclass
/// with __torch_function__, a torch function mode): the checks then read nothing, and the call
/// is the sequence's as they see it. 1, 0, or -1 on error.
template <class... Args>
int watched(const Torch &t, Args... args) noexcept {
    Ref answer = Ref::steal(call(t.observed, args...));
    if (!answer) return -1;
    return answer.get() == Py_True;
}

/// The dtypes of tensors `a` and `b` (new references) where the checks may read them; both
/// null otherwise; -1 on error.
int dtypes_of(const Torch *t, PyObject *a, PyObject *b, Ref &da, Ref &db) noexcept {
    if (!is_tensor(t, a) || !is_tensor(t, b)) return 0;
    int seen = watched(*t, a, b);
    if (seen != 0) return seen;
    da = Ref::steal(PyObject_GetAttr(a, S.names.dtype));
    if (!da) return -1;
    db = Ref::steal(PyObject_GetAttr(b, S.names.dtype));
    return db ? 0 : -1;
}

bool wraps(const Torch &t, PyObject *dtype) noexcept {
    for (PyObject *d : t.wrapping) {
        if (d && d == dtype) return true;
    }
    return false;
}

int refuse_wrapping(const FnRow &row, const char *argument, PyObject *dtype) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "%U(): %s has dtype %R, whose differences and squares wrap around; convert it to float "
                 "first (as %s.float())",
                 S.names.*row.name, argument, dtype, argument);
    return -1;
}

/// The value of an int, its sign exact: one too large for a float is infinite.
double int_value(PyObject *o) noexcept {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (!overflow) return static_cast<double>(v);
    double big = PyLong_AsDouble(o);
    if (big == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return overflow > 0 ? HUGE_VAL : -HUGE_VAL;
    }
    return big;
}

/// Whether `o` holds several values (a tensor, an array): such a value is not read.
bool is_container(PyObject *o) noexcept {
    PyTypeObject *type = Py_TYPE(o);
    return (type->tp_as_sequence && type->tp_as_sequence->sq_length) ||
           (type->tp_as_mapping && type->tp_as_mapping->mp_length);
}

/// Clears a failed conversion: what does not convert is not judged, and the body then meets the
/// same error at its own line. Only an interrupt or an exit goes on at once.
int not_a_number() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

/// A real number's value: a float, an int, or any other number that is not a container and
/// converts by __index__ or __float__ (NumPy's scalars, Fraction, Decimal). 1 with `value`,
/// 0 for anything else (a tensor, None), -1 on error.
int real_value(PyObject *o, double &value) noexcept {
    if (PyFloat_Check(o)) {
        value = PyFloat_AS_DOUBLE(o);
        return 1;
    }
    if (PyLong_Check(o)) {
        value = int_value(o);
        return 1;
    }
    PyNumberMethods *number = Py_TYPE(o)->tp_as_number;
    if (o == Py_None || !number || is_container(o)) return 0;
    if (number->nb_index) {
        Ref index = Ref::steal(PyNumber_Index(o));
        if (index) {
            value = int_value(index.get());
            return 1;
        }
        if (not_a_number() < 0) return -1;
    }
    if (number->nb_float) {
        Ref f = Ref::steal(PyNumber_Float(o));
        if (f) {
            value = PyFloat_AS_DOUBLE(f.get());
            return 1;
        }
        return not_a_number();
    }
    return 0;
}

/// An integer `kernel_num`: 1 with its value, 0 for anything else (a float: range() refuses it).
int int_count(PyObject *o, double &value) noexcept {
    if (PyFloat_Check(o)) return 0;
    if (!PyLong_Check(o) && (!Py_TYPE(o)->tp_as_number || !Py_TYPE(o)->tp_as_number->nb_index)) return 0;
    return real_value(o, value);
}

/// What the kernel's checks read of its arguments.
struct Kernel {
    const Torch *torch = nullptr;
    bool wide = true;  // the bandwidths divide float64 features: float64's range, else float32's
};

/// The base-2 logarithms of float32's and float64's largest number and smallest normal one.
struct Range {
    double top, bottom;
    const char *name;
};
constexpr Range kFloat32 = {128, -126, "float32"}, kFloat64 = {1024, -1022, "float64"};

/// Refuses a ladder b * kernel_mul**e, e from -(kernel_num // 2) to kernel_num - 1 - kernel_num // 2,
/// that leaves the range of the features' dtype; `base` is fix_sigma, or 1 for a bandwidth from
/// the data, which the ratios alone then judge.
int check_ladder(const FnRow &row, const Kernel &k, PyObject *kernel_mul, PyObject *kernel_num, PyObject *fix_sigma,
                 double base) noexcept {
    double mul, num;
    int r = real_value(kernel_mul, mul);
    if (r <= 0) return r;
    r = int_count(kernel_num, num);
    if (r <= 0 || num < 1) return r;
    double half = std::floor(num / 2), step = std::log2(mul), start = std::log2(base);
    double low = start - half * step, high = start + (num - 1 - half) * step;
    if (low > high) std::swap(low, high);
    const Range &range = k.wide ? kFloat64 : kFloat32;
    // The divisor kernel_mul ** (kernel_num // 2) is a Python number: it must stay a float64 too.
    bool over = high >= range.top || half * step >= kFloat64.top;
    bool under = low < range.bottom || half * step <= kFloat64.bottom;
    if (!over && !under) return 0;
    PyErr_Format(PyExc_ValueError, "%U(): kernel_mul=%R, kernel_num=%R and fix_sigma=%R give bandwidths that %s in %s",
                 S.names.*row.name, kernel_mul, kernel_num, fix_sigma, over ? "overflow" : "underflow", range.name);
    return -1;
}

/// Refuses a fix_sigma of `value` that is negative, NaN or infinite.
int check_sigma_value(const FnRow &row, PyObject *fix_sigma, double value) noexcept {
    if (std::isinf(value) && value > 0) {
        PyErr_Format(PyExc_ValueError, "%U(): fix_sigma must be finite, got %R", S.names.*row.name, fix_sigma);
        return -1;
    }
    if (value >= 0) return 0;
    PyErr_Format(PyExc_ValueError, "%U(): fix_sigma must be 0 or greater, got %R", S.names.*row.name, fix_sigma);
    return -1;
}

/// Refuses source and target that stack to a dtype that wraps around, and tells the range of the
/// dtype they stack to. A float or int64 on either side makes the stack compute as it does.
int check_features(const FnRow &row, PyObject *source, PyObject *target, Kernel &k) noexcept {
    if (torch_of_checks(k.torch) < 0) return -1;
    Ref a, b;
    if (dtypes_of(k.torch, source, target, a, b) < 0) return -1;
    if (!a) return 0;
    const Torch &t = *k.torch;
    bool wrap_a = wraps(t, a.get()), wrap_b = wraps(t, b.get());
    if (wrap_a && (wrap_b || b.get() == t.bool_)) return refuse_wrapping(row, "source", a.get());
    if (wrap_b && a.get() == t.bool_) return refuse_wrapping(row, "target", b.get());
    auto wide = [&t](PyObject *d) { return d == t.float64 || (t.complex128 && d == t.complex128); };
    k.wide = wide(a.get()) && wide(b.get());
    return 0;
}

}  // namespace

int refuse_empty(const FnRow &row, PyObject *rows, const char *argument) noexcept {
    if (!PyLong_Check(rows) || int_value(rows) != 0) return 0;
    PyErr_Format(PyExc_ValueError, "%U(): %s is an empty batch (no rows)", S.names.*row.name, argument);
    return -1;
}

int refuse_no_columns(const FnRow &row, PyObject *columns, const char *argument, const char *what) noexcept {
    if (!columns || !PyLong_Check(columns) || int_value(columns) != 0) return 0;
    PyErr_Format(PyExc_ValueError, "%U(): %s has no %s (no columns)", S.names.*row.name, argument, what);
    return -1;
}

int check_kernel_parameters(const FnRow &row, PyObject *const *args) noexcept {
    PyObject *kernel_mul = args[2], *kernel_num = args[3], *fix_sigma = args[4];
    Kernel k;
    if (check_features(row, args[0], args[1], k) < 0) return -1;
    double mul, sigma = 0;
    int r = real_value(kernel_mul, mul);
    if (r < 0) return -1;
    if (r > 0 && !(mul > 0)) {
        PyErr_Format(PyExc_ValueError, "%U(): kernel_mul must be greater than 0, got %R", S.names.*row.name,
                     kernel_mul);
        return -1;
    }
    if (r > 0 && std::isinf(mul)) {
        PyErr_Format(PyExc_ValueError, "%U(): kernel_mul must be finite, got %R", S.names.*row.name, kernel_mul);
        return -1;
    }
    r = real_value(fix_sigma, sigma);
    if (r < 0 || (r > 0 && check_sigma_value(row, fix_sigma, sigma) < 0)) return -1;
    // fix_sigma 0 tests false: the bandwidth then comes from the data.
    return check_ladder(row, k, kernel_mul, kernel_num, fix_sigma, r > 0 && sigma > 0 ? sigma : 1.0);
}

int check_tensor_sigma(const FnRow &row, PyObject *const *args) noexcept {
    Kernel k;
    if (check_features(row, args[0], args[1], k) < 0) return -1;
    PyObject *fix_sigma = args[4];
    if (!is_tensor(k.torch, fix_sigma)) return 0;
    int seen = watched(*k.torch, fix_sigma);
    if (seen != 0) return seen < 0 ? -1 : 0;
    Ref value = Ref::steal(PyNumber_Float(fix_sigma));
    if (!value) return -1;
    double sigma = PyFloat_AS_DOUBLE(value.get());
    if (check_sigma_value(row, fix_sigma, sigma) < 0) return -1;
    return check_ladder(row, k, args[2], args[3], fix_sigma, sigma > 0 ? sigma : 1.0);
}

int check_representations(const FnRow &row, PyObject *repre) noexcept {
    const Torch *t;
    if (torch_of_checks(t) < 0) return -1;
    if (!is_tensor(t, repre)) return 0;
    int seen = watched(*t, repre);
    if (seen != 0) return seen < 0 ? -1 : 0;
    Ref dtype = Ref::steal(PyObject_GetAttr(repre, S.names.dtype));
    if (!dtype) return -1;
    if (wraps(*t, dtype.get())) return refuse_wrapping(row, "repre", dtype.get());
    Ref shape = Ref::steal(PyObject_GetAttr(repre, S.names.shape));
    if (!shape) return -1;
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) < 2) return 0;
    return refuse_no_columns(row, PyTuple_GET_ITEM(shape.get(), 1), "repre", "features");
}

int check_eps(const FnRow &row, PyObject *EPS) noexcept {
    double eps;
    int r = real_value(EPS, eps);
    if (r <= 0 || (eps < 1 && !std::isinf(eps))) return r;
    PyErr_Format(PyExc_ValueError, "%U(): EPS must be finite and below 1, got %R", S.names.*row.name, EPS);
    return -1;
}

}  // namespace loss
