# Type information for the native module `loss`.
import sys as sys
import torch as torch
from typing import Any, Dict, Optional, Union, overload

from torch import Tensor

_Number = Union[int, float]

# Returns the int 0, not a tensor, when kernel_num <= 0.
def guassian_kernel_mmd(
    source: Tensor,
    target: Tensor,
    kernel_mul: Union[_Number, Tensor] = 2,
    kernel_num: int = 6,
    fix_sigma: Optional[Union[_Number, Tensor]] = None,
) -> Union[Tensor, int]:
    """Sum of `kernel_num` Gaussian kernels over all pairs of rows of `source` and `target` stacked.

    source: (n, D) and target: (m, D) float tensors, same dtype and device.
    Returns the (n + m, n + m) kernel matrix in their dtype; bandwidths are `kernel_mul` apart
    around the mean squared distance, or around `fix_sigma` when given. The int 0 when
    `kernel_num` <= 0. Memory grows with (n + m)^2 * D. The kernel behind `MMD`.
    """
def MMD(
    source: Tensor,
    target: Tensor,
    kernel_mul: Union[_Number, Tensor] = 2,
    kernel_num: int = 6,
    fix_sigma: Optional[Union[_Number, Tensor]] = None,
) -> Tensor:
    """Maximum mean discrepancy between the batches `source` and `target`.

    source: (n, D) and target: (m, D) float tensors, same dtype and device; the kernel
    parameters are those of `guassian_kernel_mmd`. Returns a 0-d tensor, 0 up to rounding for
    identical batches. Added to a training loss, it pulls the two batches' feature
    distributions together, as in domain adaptation.
    """

# Only methods and operators are used, so tensor-like objects work too.
@overload
def compute_joint(x_out: Tensor, x_tf_out: Tensor) -> Tensor:
    """Symmetric joint distribution of two batches of per-sample scores.

    x_out, x_tf_out: (bn, k) float tensors, e.g. softmax outputs for two views of a batch.
    Returns a (k, k) tensor whose entries sum to 1. The joint behind `instance_contrastive_Loss`.
    """
@overload
def compute_joint(x_out: Any, x_tf_out: Any) -> Any: ...
def instance_contrastive_Loss(
    x_out: Tensor,
    x_tf_out: Tensor,
    lamb: Union[_Number, Tensor] = 1.0,
    EPS: float = 2.220446049250313e-16,  # sys.float_info.epsilon, read at import
) -> Tensor:
    """Instance-level contrastive loss: minus the mutual information of two views' assignments.

    x_out, x_tf_out: (bn, k) float tensors of class probabilities (rows summing to 1) for two
    views of one batch. `lamb` weights the marginals' entropies (1.0: the plain negative mutual
    information); probabilities below `EPS` count as `EPS`. Returns a 0-d tensor (about -ln k
    at best when lamb is 1.0); minimising it makes the views agree while all k clusters are used.
    """

# flag_gt may be any value; only one equal to True shifts the labels down by one.
def category_contrastive_loss(repre: Tensor, gt: Tensor, classes: int, flag_gt: object) -> Tensor:
    """Category-level contrastive loss on labelled representations.

    repre: (N, D) float tensor; gt: (N,) int64 class indices below `classes`, 1-based when
    `flag_gt == True`. Returns a 0-d float tensor: the sum over samples of a hinge on each
    one's best mean similarity to any class against its mean similarity to its own class (plus 1
    when that best class is its own). Pulls each class's representations together.
    """

__test__: Dict[str, Any]
