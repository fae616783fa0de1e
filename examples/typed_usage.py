"""The five losses called with their defaults, written to pass `mypy --strict`."""
import torch
from torch import Tensor

import loss


def kernel_matrix(source: Tensor, target: Tensor) -> Tensor:
    kernels = loss.guassian_kernel_mmd(source, target)
    # The result is the int 0 only for kernel_num <= 0, never with the defaults.
    assert isinstance(kernels, Tensor)
    return kernels


def total_loss(source: Tensor, target: Tensor, labels: Tensor, classes: int) -> Tensor:
    p, q = torch.softmax(source, dim=1), torch.softmax(target, dim=1)
    joint: Tensor = loss.compute_joint(p, q)
    assert torch.allclose(joint.sum(), torch.tensor(1.0))
    return (loss.MMD(source, target)
            + loss.instance_contrastive_Loss(p, q)
            + loss.category_contrastive_loss(source, labels, classes, False))


def main() -> None:
    torch.manual_seed(0)
    source, target = torch.randn(6, 4), torch.randn(6, 4)
    labels = torch.tensor([0, 1, 2, 0, 1, 2])
    print("kernel matrix", tuple(kernel_matrix(source, target).shape))
    print("total loss %.4f" % total_loss(source, target, labels, 3).item())


if __name__ == "__main__":
    main()
