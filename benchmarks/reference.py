"""The five losses written in plain Python, statement for statement as the module runs them.

The benchmark times the module against these, so they make the same torch
calls in the same order; they are also a readable statement of what each
function computes. Line comments give the line of "loss.py" each statement
stands for.
"""
import sys

import torch


def _check_kernel_parameters(name, kernel_mul, fix_sigma):
    """Python numbers out of range are refused; tensors are not read (that would synchronise)."""
    if isinstance(kernel_mul, (int, float)) and not kernel_mul > 0:
        raise ValueError("%s(): kernel_mul must be greater than 0, got %r" % (name, kernel_mul))
    if isinstance(fix_sigma, (int, float)) and not fix_sigma >= 0:
        raise ValueError("%s(): fix_sigma must be 0 or greater, got %r" % (name, fix_sigma))


def _refuse_empty(name, rows, argument):
    if rows == 0:
        raise ValueError("%s(): %s is an empty batch (no rows)" % (name, argument))


def guassian_kernel_mmd(source, target, kernel_mul=2, kernel_num=6, fix_sigma=None, guard=True):
    """guard=False: without the guard for collapsed rows, the sequence as the original has it."""
    _check_kernel_parameters("guassian_kernel_mmd", kernel_mul, fix_sigma)       # 7
    n_samples = int(source.size()[0]) + int(target.size()[0])                     # 16
    total = torch.cat([source, target], dim=0)                                    # 17
    total0 = total.unsqueeze(0).expand(int(total.size(0)), int(total.size(0)), int(total.size(1)))  # 19
    total1 = total.unsqueeze(1).expand(int(total.size(0)), int(total.size(0)), int(total.size(1)))  # 20
    L2_distance = ((total0 - total1) ** 2).sum(2)                                 # 23
    if fix_sigma:                                                                 # 26
        # A caller's tensor must survive the call unchanged: plain division.
        bandwidth = fix_sigma / kernel_mul ** (kernel_num // 2)                   # 30
    else:
        # float16 sums in float32.
        data = L2_distance.data                                                   # 29
        total_distance = (torch.sum(data, dtype=torch.float32) if data.dtype is torch.float16
                          else torch.sum(data))                                   # 29
        bandwidth = total_distance / (n_samples ** 2 - n_samples)                 # 29
        bandwidth /= kernel_mul ** (kernel_num // 2)                              # 30
        # With no two rows apart (0, 0/0, or an underflow to 0) the smallest bandwidth is not
        # positive: it is then that of a base bandwidth of 1.
        if guard:
            bandwidth = torch.where(bandwidth > 0, bandwidth,
                                    1.0 / kernel_mul ** (kernel_num // 2))        # 30
    bandwidth_list = [bandwidth * (kernel_mul ** i) for i in range(kernel_num)]  # 33
    kernel_val = [torch.exp(-L2_distance / bandwidth_temp) for bandwidth_temp in bandwidth_list]  # 36
    return sum(kernel_val)                                                        # 38


def MMD(source, target, kernel_mul=2, kernel_num=6, fix_sigma=None, guard=True):
    _check_kernel_parameters("MMD", kernel_mul, fix_sigma)                       # 39
    n = int(source.size()[0])                                                     # 48
    _refuse_empty("MMD", n, "source")                                             # 48
    m = int(target.size()[0])                                                     # 49
    _refuse_empty("MMD", m, "target")                                             # 49
    kernels = guassian_kernel_mmd(source, target,                                 # 52
                                  kernel_mul=kernel_mul, kernel_num=kernel_num, fix_sigma=fix_sigma,
                                  guard=guard)
    XX = kernels[:n, :n]                                                          # 55
    YY = kernels[n:, n:]                                                          # 56
    XY = kernels[:n, n:]                                                          # 57
    YX = kernels[n:, :n]                                                          # 58
    XX = torch.div(XX, n * n).sum(dim=1).view(1, -1)                              # 61
    XY = torch.div(XY, -n * m).sum(dim=1).view(1, -1)                             # 62
    YX = torch.div(YX, -m * n).sum(dim=1).view(1, -1)                             # 63
    YY = torch.div(YY, m * m).sum(dim=1).view(1, -1)                              # 64
    loss = XX.sum() + XY.sum() + YX.sum() + YY.sum()                              # 67
    return loss


def compute_joint(x_out, x_tf_out):
    bn, k = x_out.size()                                                          # 139
    _refuse_empty("compute_joint", bn, "x_out")                                   # 139
    assert x_tf_out.size(0) == bn and x_tf_out.size(1) == k                       # 140
    p_i_j = x_out.unsqueeze(2) * x_tf_out.unsqueeze(1)                            # 142
    p_i_j = p_i_j.sum(dim=0)                                                      # 143
    p_i_j = (p_i_j + p_i_j.t()) / 2.0                                             # 144
    p_i_j = p_i_j / p_i_j.sum()                                                   # 145
    return p_i_j


def _bound(p, EPS):
    """EPS, or float16's smallest positive number, 2**-24, where EPS is positive but 0 in
    float16: below it lie only exact zeros. A tensor EPS is judged on its device."""
    if isinstance(EPS, int) or p.dtype is not torch.float16:
        return EPS
    if isinstance(EPS, torch.Tensor):
        return torch.where((EPS > 0) & (EPS.to(torch.float16) == 0), 2.0 ** -24, EPS)
    if isinstance(EPS, float) or hasattr(type(EPS), "__float__"):
        return 2.0 ** -24 if 0 < float(EPS) <= 2.0 ** -25 else EPS
    return EPS


def instance_contrastive_Loss(x_out, x_tf_out, lamb=1.0, EPS=sys.float_info.epsilon):
    _, k = x_out.size()                                                           # 152
    _refuse_empty("instance_contrastive_Loss", _, "x_out")                        # 152
    p_i_j = compute_joint(x_out, x_tf_out)                                        # 153
    assert p_i_j.size() == (k, k)                                                 # 154
    p_i = p_i_j.sum(dim=1).view(k, 1).expand(k, k)                                # 156
    p_j = p_i_j.sum(dim=0).view(1, k).expand(k, k)                                # 157
    eps = _bound(p_i_j, EPS)  # the marginals share the joint's dtype             # 159
    p_i_j = torch.where(p_i_j < eps, torch.tensor([eps], device=p_i_j.device), p_i_j)  # 159
    p_j = torch.where(p_j < eps, torch.tensor([eps], device=p_j.device), p_j)     # 160
    p_i = torch.where(p_i < eps, torch.tensor([eps], device=p_i.device), p_i)     # 161
    loss = -p_i_j * (torch.log(p_i_j)                                             # 163
                     - lamb * torch.log(p_j)                                      # 164
                     - lamb * torch.log(p_i))                                     # 165
    loss = loss.sum()                                                             # 167
    return loss


def category_contrastive_loss(repre, gt, classes, flag_gt):
    # Equality, not identity: 1 and 1.0 shift the labels too.
    if flag_gt == True:  # noqa: E712                                             # 186
        gt = gt - 1                                                               # 187
    batch_size = gt.size()[0]                                                     # 189
    F_h_h = torch.matmul(repre, repre.t())                                        # 190
    F_hn_hn = torch.diag(F_h_h)                                                   # 191
    F_h_h = F_h_h - torch.diag_embed(F_hn_hn)                                     # 192
    # The representations' dtype, so the product below works for any float type.
    label_onehot = torch.nn.functional.one_hot(gt, classes).to(repre.dtype)       # 194
    label_num = torch.sum(label_onehot, 0, keepdim=True)                          # 196
    F_h_h_sum = torch.matmul(F_h_h, label_onehot)                                 # 197
    label_num_broadcast = label_num.repeat([gt.size()[0], 1]) - label_onehot      # 198
    label_num_broadcast[label_num_broadcast == 0] = 1                             # 199
    F_h_h_mean = torch.div(F_h_h_sum, label_num_broadcast)                        # 200
    gt_ = torch.argmax(F_h_h_mean, dim=1)                                         # 201
    F_h_h_mean_max = torch.max(F_h_h_mean, dim=1)[0]                              # 202
    theta = (gt == gt_).float()                                                   # 203
    F_h_hn_mean_ = F_h_h_mean.mul(label_onehot)                                   # 204
    F_h_hn_mean = torch.sum(F_h_hn_mean_, dim=1)                                  # 205
    return torch.sum(torch.relu(torch.add(theta, torch.sub(F_h_h_mean_max, F_h_hn_mean))))  # 206
