// losses.h: the table rows of the five functions, each defined beside its body.
#pragma once

#include "calls/function.h"

namespace loss {

extern const FnRow guassian_kernel_mmd_row;
extern const FnRow mmd_row;
extern const FnRow compute_joint_row;
extern const FnRow instance_contrastive_row;
extern const FnRow category_contrastive_row;

}  // namespace loss
