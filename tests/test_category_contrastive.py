import pytest
import torch

import loss
from helpers import entries

f = loss.category_contrastive_loss


def sites(exc):
    return [(name, line) for name, _, line in entries(exc)]


def contributions(repre, gt, classes):
    """Per-sample terms, looping over samples and classes in float64 Python arithmetic."""
    rows, labels = repre.double().tolist(), [int(v) for v in gt.tolist()]
    terms = []
    for i, own in enumerate(labels):
        means = []
        for c in range(classes):
            others = [j for j, lab in enumerate(labels) if lab == c and j != i]
            sims = [sum(a * b for a, b in zip(rows[i], rows[j])) for j in others]
            means.append(sum(sims) / max(len(others), 1))
        best = int(torch.argmax(torch.tensor(means, dtype=torch.float64)))
        theta = 1.0 if best == own else 0.0
        terms.append(max(0.0, theta + max(means) - means[own]))
    return terms


def oracle(repre, gt, classes):
    return sum(contributions(repre, gt, classes))


def plain(repre, gt, classes, onehot_dtype=torch.float32):
    """The loss written out step by step."""
    sim = torch.matmul(repre, repre.t())
    sim = sim - torch.diag_embed(torch.diag(sim))
    onehot = torch.nn.functional.one_hot(gt, classes).to(onehot_dtype)
    counts = torch.sum(onehot, 0, keepdim=True).repeat([gt.size()[0], 1]) - onehot
    counts[counts == 0] = 1
    means = torch.div(torch.matmul(sim, onehot), counts)
    theta = (gt == torch.argmax(means, dim=1)).float()
    own = torch.sum(means.mul(onehot), dim=1)
    return torch.sum(torch.relu(torch.add(theta, torch.sub(torch.max(means, dim=1)[0], own))))


def random_repre(n, d, seed=0, dtype=torch.float32):
    return torch.randn(n, d, generator=torch.Generator().manual_seed(seed)).to(dtype)


# Integer representations make inner products exact, so ties are exact too:
# sample 0 ties its own class 0 with class 1; sample 1 ties its own class 1 with class 0.
TIE_OWN_FIRST = ([[1, 1], [1, 0], [0, 1]], [0, 0, 1], 2)
TIE_OTHER_FIRST = ([[1, 0], [1, 1], [0, 1]], [0, 1, 1], 2)

CASES = {
    "spread": (random_repre(6, 4), [0, 1, 2, 0, 1, 2], 3),
    "empty classes": (random_repre(5, 3, 1), [0, 0, 2, 2, 0], 4),
    "singleton class": (random_repre(6, 3, 2), [0, 1, 1, 1, 2, 2], 3),
    "one class": (random_repre(4, 2, 3), [1, 1, 1, 1], 2),
    "tie own first": TIE_OWN_FIRST,
    "tie other first": TIE_OTHER_FIRST,
    "wide": (random_repre(12, 8, 4), [3, 0, 1, 4, 2, 0, 1, 3, 3, 2, 4, 0], 6),
}


def case(name, dtype=torch.float32):
    repre, gt, classes = CASES[name]
    return torch.as_tensor(repre, dtype=torch.float32).to(dtype), torch.tensor(gt), classes


@pytest.mark.parametrize("name", sorted(CASES))
@pytest.mark.parametrize("dtype, tol", [(torch.float64, 1e-12), (torch.float32, 1e-5)])
def test_matches_float64_loop(name, dtype, tol):
    repre, gt, classes = case(name, dtype)
    copies = [(v.clone(), v._version) for v in (repre, gt)]
    out = f(repre, gt, classes, False)
    want = oracle(repre, gt, classes)
    assert out.numel() == 1 and out.dtype == dtype
    assert abs(out.item() - want) <= tol * (1 + abs(want))
    for v, (copy, version) in zip((repre, gt), copies):
        assert torch.equal(v, copy) and v._version == version


@pytest.mark.parametrize("name, sample, term", [("tie own first", 0, 1.0), ("tie other first", 1, 0.0)])
def test_ties_follow_argmax(name, sample, term):
    repre, gt, classes = case(name)
    terms = contributions(repre, gt, classes)
    assert terms[sample] == term
    assert f(repre, gt, classes, False).item() == sum(terms)


@pytest.mark.parametrize("name", ["spread", "wide", "singleton class"])
def test_float32_same_as_plain_steps(name):
    repre, gt, classes = case(name)
    assert torch.equal(f(repre, gt, classes, False), plain(repre, gt, classes))


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16])
def test_half_precision(dtype):
    repre, gt, classes = case("singleton class")
    repre = (repre * 4).round().to(dtype)  # small integers: exact in either type
    try:
        plain(repre, gt, classes, dtype)
    except RuntimeError as e:
        pytest.skip("torch lacks %s ops on CPU: %s" % (dtype, e))
    out = f(repre, gt, classes, False)
    want = oracle(repre, gt, classes)
    # theta is float32 in every case, so the sum comes back float32.
    assert abs(out.item() - want) <= 2e-2 * (1 + abs(want))


@pytest.mark.parametrize("flag, shifted", [
    (True, True), (1, True), (1.0, True),
    (False, False), (0, False), (None, False), ("x", False),
])
def test_label_shift(flag, shifted):
    repre, gt, classes = case("empty classes")
    given = gt + 1 if shifted else gt
    copy, version = given.clone(), given._version
    out = f(repre, given, classes, flag)
    assert abs(out.item() - oracle(repre, gt, classes)) <= 1e-5
    assert torch.equal(given, copy) and given._version == version


@pytest.mark.parametrize("n, d", [(5, 3), (8, 4)])
def test_gradcheck(n, d):
    repre = random_repre(n, d, 7, torch.float64).requires_grad_()
    gt = torch.tensor([i % 3 for i in range(n)])
    assert torch.autograd.gradcheck(lambda r: f(r, gt, 3, False), (repre,))


@pytest.mark.parametrize("gt, flag, exc, line", [
    (torch.tensor(1), False, IndexError, 189),
    (torch.tensor([0, 1, 2]), True, RuntimeError, 194),
    (torch.tensor([0, 1, 3]), False, RuntimeError, 194),
])
def test_failure_lines(gt, flag, exc, line):
    with pytest.raises(exc) as info:
        f(torch.rand(3, 2), gt, 3, flag)
    assert sites(info.value) == [("loss.category_contrastive_loss", line)]


def test_missing_torch_global(monkeypatch):
    monkeypatch.delattr(loss, "torch")
    with pytest.raises(NameError) as info:
        f(torch.rand(3, 2), torch.tensor([0, 1, 0]), 2, False)
    assert str(info.value) == "name 'torch' is not defined"
    assert sites(info.value) == [("loss.category_contrastive_loss", 190)]
