// functions.cpp: the function table, in the order "loss.py" defines them.
#include "module/functions.h"

#include "losses/losses.h"

namespace loss {

const FnRow *const kRows[kFunctions] = {
    &guassian_kernel_mmd_row, &mmd_row, &compute_joint_row, &instance_contrastive_row, &category_contrastive_row,
};

}  // namespace loss
