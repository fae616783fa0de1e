// state.h: the process-wide module state: interned names, constants, code objects.
#pragma once

#include "ref.h"

#include <atomic>
#include <cstdint>

namespace loss {

// Every identifier the module uses as a global, attribute, keyword, parameter
// or local name. Each becomes one interned str of the state.
#define LOSS_NAMES(X)                                                                                      \
    /* functions */                                                                                        \
    X(guassian_kernel_mmd, "guassian_kernel_mmd") X(MMD, "MMD") X(compute_joint, "compute_joint")          \
    X(instance_contrastive_Loss, "instance_contrastive_Loss")                                              \
    X(category_contrastive_loss, "category_contrastive_loss")                                              \
    /* parameters and locals */                                                                            \
    X(source, "source") X(target, "target") X(kernel_mul, "kernel_mul") X(kernel_num, "kernel_num")        \
    X(fix_sigma, "fix_sigma") X(n_samples, "n_samples") X(total, "total") X(total0, "total0")              \
    X(total1, "total1") X(L2_distance, "L2_distance") X(bandwidth, "bandwidth")                            \
    X(bandwidth_list, "bandwidth_list") X(kernel_val, "kernel_val") X(i, "i")                              \
    X(bandwidth_temp, "bandwidth_temp") X(n, "n") X(m, "m") X(kernels, "kernels") X(XX, "XX") X(YY, "YY")  \
    X(XY, "XY") X(YX, "YX") X(loss, "loss") X(x_out, "x_out") X(x_tf_out, "x_tf_out") X(bn, "bn")          \
    X(k, "k") X(p_i_j, "p_i_j") X(lamb, "lamb") X(EPS, "EPS") X(underscore, "_") X(p_i, "p_i")             \
    X(p_j, "p_j") X(repre, "repre") X(gt, "gt") X(classes, "classes") X(flag_gt, "flag_gt")                \
    X(batch_size, "batch_size") X(F_h_h, "F_h_h") X(F_hn_hn, "F_hn_hn") X(label_onehot, "label_onehot")    \
    X(label_num, "label_num") X(F_h_h_sum, "F_h_h_sum") X(label_num_broadcast, "label_num_broadcast")      \
    X(F_h_h_mean, "F_h_h_mean") X(gt_, "gt_") X(F_h_h_mean_max, "F_h_h_mean_max") X(theta, "theta")        \
    X(F_h_hn_mean_, "F_h_hn_mean_") X(F_h_hn_mean, "F_h_hn_mean")                                          \
    /* globals, attributes and keywords of the bodies */                                                   \
    X(torch, "torch") X(cat, "cat") X(dim, "dim") X(unsqueeze, "unsqueeze") X(expand, "expand")            \
    X(size, "size") X(sum, "sum") X(data, "data") X(exp, "exp") X(div, "div") X(view, "view") X(t, "t")    \
    X(where, "where") X(tensor, "tensor") X(device, "device") X(log, "log") X(matmul, "matmul")            \
    X(diag, "diag") X(diag_embed, "diag_embed") X(nn, "nn") X(functional, "functional")                    \
    X(one_hot, "one_hot") X(float_, "float") X(keepdim, "keepdim") X(repeat, "repeat")                     \
    X(to, "to") X(dtype, "dtype") X(float16, "float16") X(float32, "float32") X(argmax, "argmax") X(max, "max") X(relu, "relu") X(add, "add") X(sub, "sub") X(mul, "mul") X(Tensor, "Tensor")            \
    /* builtins and module set-up */                                                                       \
    X(range, "range") X(AssertionError, "AssertionError") X(sys, "sys") X(float_info, "float_info")       \
    X(epsilon, "epsilon") X(spec, "__spec__") X(initializing, "_initializing") X(test, "__test__")

struct Names {
#define LOSS_NAME_FIELD(id, text) PyObject *id;
    LOSS_NAMES(LOSS_NAME_FIELD)
#undef LOSS_NAME_FIELD
};

/// A name of the state, as table rows refer to it.
using NameRef = PyObject *Names::*;

constexpr int kFunctions = 5;

struct State {
    PyObject *module = nullptr;  // the module whose exec step has begun
    int64_t first_interpreter = -1;
    PyObject *globals = nullptr;   // the module dictionary
    PyObject *builtins = nullptr;  // the builtins module

    PyObject *empty_tuple = nullptr, *empty_bytes = nullptr;
    Names names{};
    PyObject *file_name = nullptr;  // "loss.py"

    PyObject *float2 = nullptr, *float1 = nullptr;
    PyObject *int0 = nullptr, *int1 = nullptr, *int2 = nullptr, *int6 = nullptr, *int_m1 = nullptr;
    PyObject *half_min = nullptr;   // 2**-24, float16's smallest positive number
    PyObject *defaults = nullptr;  // (2, 6, None)

    // Keyword-name tuples of the bodies' outgoing calls.
    PyObject *kw_dim = nullptr, *kw_keepdim = nullptr, *kw_device = nullptr, *kw_dtype = nullptr,
             *kw_kernel = nullptr;

    PyObject *varnames[kFunctions] = {};
    PyObject *code[kFunctions] = {};

    PyObject *builtin_sum = nullptr, *builtin_range = nullptr, *builtin_AssertionError = nullptr;

    // torch.SymInt once met: held until the process ends, so the pointer never
    // names another type. Filled by whichever call meets it first, in any thread.
    std::atomic<PyObject *> sym_int_type{nullptr};

    bool asserts = true;  // `assert` statements run: the interpreter's optimisation level is 0
};

/// The one module state of the process. The create and exec steps fill it, one at a time
/// under the import lock; every field a call reads is complete before the exec step binds
/// the functions, and binding them in the module dictionary publishes it to other threads.
/// Calls only read it, but for `sym_int_type`.
extern State S;

/// Stores `value` (a new reference, or null on failure) in the state slot
/// `slot`, releasing what it held; -1 on null.
int state_keep(PyObject *&slot, PyObject *value) noexcept;

/// Makes the interned names and numeric constants (again, after a failed import).
int state_make_constants() noexcept;

}  // namespace loss
