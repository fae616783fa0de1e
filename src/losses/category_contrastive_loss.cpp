// stub
#include "calls/ops.h"
#include "losses/losses.h"
namespace loss {
namespace {
PyObject *body(FnObject *, PyObject *const *) noexcept { PyErr_SetNone(PyExc_NotImplementedError); return nullptr; }
}
const FnRow category_contrastive_row = {&Names::category_contrastive_loss, "loss.category_contrastive_loss", 172, 4, 4, {Fill::required, Fill::required, Fill::int2, Fill::int6, Fill::none}, 4, {&Names::source, &Names::target, &Names::kernel_mul, &Names::kernel_num, &Names::fix_sigma}, nullptr, body, false, nullptr};
}
