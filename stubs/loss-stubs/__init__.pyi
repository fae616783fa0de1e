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
    kernel_mul: Union[_Number, Tensor] = ...,
    kernel_num: int = ...,
    fix_sigma: Optional[Union[_Number, Tensor]] = ...,
) -> Union[Tensor, int]: ...
def MMD(
    source: Tensor,
    target: Tensor,
    kernel_mul: Union[_Number, Tensor] = ...,
    kernel_num: int = ...,
    fix_sigma: Optional[Union[_Number, Tensor]] = ...,
) -> Tensor: ...

# Only methods and operators are used, so tensor-like objects work too.
@overload
def compute_joint(x_out: Tensor, x_tf_out: Tensor) -> Tensor: ...
@overload
def compute_joint(x_out: Any, x_tf_out: Any) -> Any: ...
def instance_contrastive_Loss(
    x_out: Tensor,
    x_tf_out: Tensor,
    lamb: Union[_Number, Tensor] = ...,
    EPS: float = ...,
) -> Tensor: ...

# flag_gt may be any value; only one equal to True shifts the labels down by one.
def category_contrastive_loss(repre: Tensor, gt: Tensor, classes: int, flag_gt: object) -> Tensor: ...

__test__: Dict[str, Any]
