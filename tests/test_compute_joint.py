import builtins
import itertools

import pytest
import torch

import loss
from helpers import Duck, assert_steady, entries, needs_asserts


def reference(x, y):
    x, y = x.double().tolist(), y.double().tolist()
    k = len(x[0])
    p = [[sum(row_x[i] * row_y[j] for row_x, row_y in zip(x, y)) for j in range(k)] for i in range(k)]
    p = [[(p[i][j] + p[j][i]) / 2.0 for j in range(k)] for i in range(k)]
    total = sum(map(sum, p))
    return torch.tensor([[v / total for v in row] for row in p], dtype=torch.float64)


def fails(x, y, exc=Exception):
    with pytest.raises(exc) as info:
        loss.compute_joint(x, y)
    return info.value


@pytest.mark.parametrize("bn, k", [(4, 3), (1, 1), (7, 5), (2, 10), (16, 2)])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("call", ["positional", "keywords", "mixed"])
def test_matches_independent_computation(bn, k, dtype, call):
    g = torch.Generator().manual_seed(bn * 100 + k)
    x = torch.rand(bn, k, generator=g, dtype=dtype).softmax(1)
    y = torch.rand(bn, k, generator=g, dtype=dtype)
    x0, y0, versions = x.clone(), y.clone(), (x._version, y._version)
    if call == "positional":
        p = loss.compute_joint(x, y)
    elif call == "keywords":
        p = loss.compute_joint(x_tf_out=y, x_out=x)
    else:
        p = loss.compute_joint(x, x_tf_out=y)
    assert p.shape == (k, k) and p.dtype == dtype
    tol = 1e-12 if dtype == torch.float64 else 1e-6
    assert torch.allclose(p.double(), reference(x, y), rtol=tol * 10, atol=tol)
    assert torch.allclose(p, p.t()) and abs(p.sum().item() - 1) < tol * 10
    assert torch.equal(x, x0) and torch.equal(y, y0) and (x._version, y._version) == versions


def test_equal_inputs_give_normalised_gram():
    x = torch.rand(5, 4, dtype=torch.float64)
    gram = x.t() @ x
    assert torch.allclose(loss.compute_joint(x, x), gram / gram.sum())


def test_zero_inputs_are_not_guarded():
    z = torch.zeros(3, 2)
    assert torch.isnan(loss.compute_joint(z, z)).all()


def test_gradients():
    x = torch.rand(4, 3, dtype=torch.float64, requires_grad=True)
    y = torch.rand(4, 3, dtype=torch.float64, requires_grad=True)
    assert torch.autograd.gradcheck(loss.compute_joint, (x, y))


@needs_asserts
def test_duck_typed_inputs_follow_the_source_statements():
    log = []
    x, y = torch.rand(3, 2), torch.rand(3, 2)
    p = loss.compute_joint(Duck(x, "x", log), Duck(y, "y", log))
    assert torch.allclose(p._t, loss.compute_joint(x, y))
    # repr tells the int 2 from the float 2.0.
    assert repr(log) == repr([
        ("x", "size"), ("y", "size", 0), ("y", "size", 1),
        ("x", "unsqueeze", 2), ("y", "unsqueeze", 1), ("x", "__mul__", "Duck"),
        ("x", "sum", ("dim", 0)), ("x", "t"), ("x", "__add__", "Duck"), ("x", "__truediv__", 2.0),
        ("x", "sum"), ("x", "__truediv__", "Duck"),
    ])


def test_reads_no_module_globals(monkeypatch):
    for name in ("torch", "sys", "sum", "AssertionError"):
        monkeypatch.setattr(loss, name, None, raising=False)
    x = torch.rand(3, 3)
    assert torch.allclose(loss.compute_joint(x, x), reference(x, x).float())


class Seq(list):
    pass


class Tup(tuple):
    pass


class Items(object):
    """An iterator over `items`, raising `error` when they run out."""

    def __init__(self, items, error=StopIteration):
        self.items, self.error = list(items), error

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise self.error
        return self.items.pop(0)


TOO_MANY = "too many values to unpack (expected 2)"
FEW = {0: "need more than 0 values to unpack", 1: "need more than 1 value to unpack"}


@pytest.mark.parametrize("size, message", [
    (lambda: [], FEW[0]), (lambda: [4], FEW[1]), (lambda: [4, 3, 1], TOO_MANY),
    (lambda: (), FEW[0]), (lambda: (4,), FEW[1]), (lambda: (4, 3, 1, 1), TOO_MANY),
    (lambda: Seq([4]), FEW[1]), (lambda: Seq([4, 3, 1]), TOO_MANY),
    (lambda: Tup(()), FEW[0]), (lambda: Tup((4, 3, 9)), TOO_MANY),
    (lambda: iter([]), FEW[0]), (lambda: iter([4]), FEW[1]), (lambda: iter([4, 3, 2]), TOO_MANY),
    (lambda: Items([]), FEW[0]), (lambda: Items([4]), FEW[1]), (lambda: Items([4, 3, 0]), TOO_MANY),
    (lambda: itertools.count(), TOO_MANY),
    (lambda: "ab" "c", TOO_MANY), (lambda: "a", FEW[1]),
])
def test_unpacking_messages(size, message):
    exc = fails(Duck(torch.rand(4, 3), size=size), torch.rand(4, 3), ValueError)
    assert str(exc) == message and entries(exc) == [("loss.compute_joint", "loss.py", 139)]


@pytest.mark.parametrize("shape, message", [((), FEW[0]), ((5,), FEW[1]), ((2, 3, 4), TOO_MANY)])
def test_tensor_dimensions(shape, message):
    exc = fails(torch.rand(shape), torch.rand(2, 3), ValueError)
    assert str(exc) == message and entries(exc) == [("loss.compute_joint", "loss.py", 139)]


@pytest.mark.parametrize("size", [lambda: [4, 3], lambda: (4, 3), lambda: Seq([4, 3]), lambda: Items([4, 3]),
                                  lambda: iter(torch.Size([4, 3]))])
def test_any_two_item_size_unpacks(size):
    x = torch.rand(4, 3)
    assert torch.allclose(loss.compute_joint(Duck(x, size=size), x)._t, loss.compute_joint(x, x))


class Boom(Exception):
    pass


@pytest.mark.parametrize("size, exc_type", [
    (lambda: Items([], Boom), Boom), (lambda: Items([4], Boom), Boom), (lambda: Items([4, 3], Boom), Boom),
    (lambda: 5, TypeError), (lambda: None, TypeError),
])
def test_iterator_errors_propagate(size, exc_type):
    exc = fails(Duck(torch.rand(4, 3), size=size), torch.rand(4, 3))
    assert type(exc) is exc_type and entries(exc) == [("loss.compute_joint", "loss.py", 139)]


@needs_asserts
@pytest.mark.parametrize("y_shape, y_calls", [((5, 3), [("y", "size", 0)]),
                                              ((4, 2), [("y", "size", 0), ("y", "size", 1)]),
                                              ((3, 4), [("y", "size", 0)])])
def test_shape_assertion(y_shape, y_calls):
    log = []
    exc = fails(Duck(torch.rand(4, 3), "x", log), Duck(torch.rand(*y_shape), "y", log), AssertionError)
    assert type(exc) is AssertionError and exc.args == () and str(exc) == ""
    assert entries(exc) == [("loss.compute_joint", "loss.py", 140)]
    assert log == [("x", "size")] + y_calls  # before any product is formed


@needs_asserts
def test_assertion_class_fixed_at_import(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(builtins, "AssertionError", Other)
    monkeypatch.setattr(loss, "AssertionError", Other, raising=False)
    try:
        loss.compute_joint(torch.rand(4, 3), torch.rand(5, 3))
    except Other:
        pytest.fail("the rebound AssertionError was used")
    except Exception as e:
        assert type(e).__name__ == "AssertionError" and type(e) is not Other


class BadBool(object):
    def __bool__(self):
        raise Boom


class BadEq(int):
    def __eq__(self, other):
        return BadBool()
    __hash__ = int.__hash__


@needs_asserts
@pytest.mark.parametrize("x, y, exc_type, line", [
    (Duck(torch.rand(2, 2), missing=["size"]), torch.rand(2, 2), AttributeError, 139),
    (torch.rand(2, 2), Duck(torch.rand(2, 2), missing=["size"]), AttributeError, 140),
    (torch.rand(2, 2), Duck(torch.rand(2, 2), size=lambda d: BadEq(2)), Boom, 140),
    (torch.rand(2, 2), Duck(torch.rand(2, 2), fail=[("size", 1)]), ValueError, 140),
    (Duck(torch.rand(2, 2), missing=["unsqueeze"]), torch.rand(2, 2), AttributeError, 142),
    (torch.rand(2, 2), Duck(torch.rand(2, 2), missing=["unsqueeze"]), AttributeError, 142),
    (Duck(torch.rand(2, 2), fail=[("__mul__", "Tensor")]), torch.rand(2, 2), ValueError, 142),
    (Duck(torch.rand(2, 2), fail=[("sum", ("dim", 0))]), torch.rand(2, 2), ValueError, 143),
    (Duck(torch.rand(2, 2), fail=[("t",)]), torch.rand(2, 2), ValueError, 144),
    (Duck(torch.rand(2, 2), fail=[("__truediv__", 2.0)]), torch.rand(2, 2), ValueError, 144),
    (Duck(torch.rand(2, 2), fail=[("sum",)]), torch.rand(2, 2), ValueError, 145),
    (Duck(torch.rand(2, 2), fail=[("__truediv__", "Duck")]), torch.rand(2, 2), ValueError, 145),
])
def test_failures_report_their_line(x, y, exc_type, line):
    exc = fails(x, y)
    assert type(exc) is exc_type and entries(exc) == [("loss.compute_joint", "loss.py", line)]


@needs_asserts
@pytest.mark.parametrize("junk", [None, 1, "x", object(), [1, 2], (4, 3), {"size": 1}])
def test_arbitrary_objects(junk):
    exc = fails(junk, torch.rand(2, 2), AttributeError)
    assert entries(exc) == [("loss.compute_joint", "loss.py", 139)]
    exc = fails(torch.rand(2, 2), junk, AttributeError)
    assert entries(exc) == [("loss.compute_joint", "loss.py", 140)]


@pytest.mark.parametrize("y_shape", [(4, 3), (5, 3), (4, 2)])
@pytest.mark.parametrize("x_shape", [(4, 3), (4,), (2, 3, 4)])
def test_no_leaks(x_shape, y_shape):
    x, y = torch.rand(*x_shape), torch.rand(*y_shape)
    assert_steady(lambda: loss.compute_joint(x, y), x, y)
    assert_steady(lambda: loss.compute_joint(x_out=x, x_tf_out=y), x, y)


def test_no_leaks_with_iterated_size():
    x = torch.rand(4, 3)
    for items in ([4, 3], [4], [4, 3, 1]):
        d = Duck(x, size=lambda: Items(items))
        assert_steady(lambda: (d._log.clear(), loss.compute_joint(d, x)), x, d)


@pytest.mark.parametrize("fn, line", [(loss.compute_joint, 139), (loss.instance_contrastive_Loss, 152)])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_zero_rows_are_refused(fn, line, dtype):
    # Zero rows would normalise a zero joint: NaN. Refused before the joint is formed.
    x = torch.rand(0, 4, dtype=dtype)
    name = fn.__name__
    with pytest.raises(ValueError) as info:
        fn(x, torch.rand(0, 4, dtype=dtype))
    assert str(info.value) == "%s(): x_out is an empty batch (no rows)" % name
    assert entries(info.value) == [("loss." + name, "loss.py", line)]


@needs_asserts
def test_rows_of_x_tf_out_only_missing_fail_the_shape_check():
    exc = fails(torch.rand(3, 4), torch.rand(0, 4), AssertionError)
    assert entries(exc) == [("loss.compute_joint", "loss.py", 140)]
