// stub
#include "calls/ops.h"
#include "losses/losses.h"
namespace loss {
namespace {
PyObject *body(FnObject *, PyObject *const *) noexcept { PyErr_SetNone(PyExc_NotImplementedError); return nullptr; }
}
const FnRow guassian_kernel_mmd_row = {&Names::guassian_kernel_mmd, "loss.guassian_kernel_mmd", 7, 5, 2, {Fill::required, Fill::required, Fill::int2, Fill::int6, Fill::none}, 5, {&Names::source, &Names::target, &Names::kernel_mul, &Names::kernel_num, &Names::fix_sigma}, nullptr, body, false, nullptr};
}
