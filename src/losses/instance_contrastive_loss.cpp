// stub
#include "calls/ops.h"
#include "losses/losses.h"
namespace loss {
namespace {
PyObject *body(FnObject *, PyObject *const *) noexcept { PyErr_SetNone(PyExc_NotImplementedError); return nullptr; }
}
const FnRow instance_contrastive_row = {&Names::instance_contrastive_Loss, "loss.instance_contrastive_Loss", 150, 4, 2, {Fill::required, Fill::required, Fill::int2, Fill::int6, Fill::none}, 4, {&Names::source, &Names::target, &Names::kernel_mul, &Names::kernel_num, &Names::fix_sigma}, nullptr, body, false, nullptr};
}
