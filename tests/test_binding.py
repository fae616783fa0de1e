import functools
import sys

import pytest
import torch

import loss
from helpers import Duck, assert_steady, entries, run_python

# name: (parameters, required, def line)
TABLE = {
    "guassian_kernel_mmd": (("source", "target", "kernel_mul", "kernel_num", "fix_sigma"), 2, 7),
    "MMD": (("source", "target", "kernel_mul", "kernel_num", "fix_sigma"), 2, 39),
    "compute_joint": (("x_out", "x_tf_out"), 2, 136),
    "instance_contrastive_Loss": (("x_out", "x_tf_out", "lamb", "EPS"), 2, 150),
    "category_contrastive_loss": (("repre", "gt", "classes", "flag_gt"), 4, 172),
}
FEW_MANY = {
    "guassian_kernel_mmd": ("at least 2", "at most 5"),
    "MMD": ("at least 2", "at most 5"),
    "compute_joint": ("exactly 2", "exactly 2"),
    "instance_contrastive_Loss": ("at least 2", "at most 4"),
    "category_contrastive_loss": ("exactly 4", "exactly 4"),
}
ROUTES = {
    "direct": lambda f: f,
    "__call__": lambda f: f.__call__,
    "partial": lambda f: functools.partial(f),
    "type_call": lambda f: functools.partial(type(f).__call__, f),
}


def binding_error(name, args, kwargs=None, route="direct", exc=TypeError):
    fn = ROUTES[route](getattr(loss, name))
    with pytest.raises(exc) as info:
        fn(*args, **(kwargs or {}))
    assert entries(info.value) == [("loss." + name, "loss.py", TABLE[name][2])]
    return str(info.value)


def count_cases():
    for name, (params, required, _) in sorted(TABLE.items()):
        few, many = FEW_MANY[name]
        for found in list(range(required)) + [len(params) + 1, len(params) + 3]:
            yield name, found, few if found < required else many


@pytest.mark.parametrize("name, found, phrase", list(count_cases()))
def test_positional_count_errors(name, found, phrase):
    args = [object() for _ in range(found)]
    expected = "%s() takes %s positional arguments (%d given)" % (name, phrase, found)
    assert binding_error(name, args) == expected
    # An empty keyword dictionary is the same as none.
    assert binding_error(name, args, {}) == expected


@pytest.mark.parametrize("route", sorted(ROUTES))
@pytest.mark.parametrize("name, nargs, kwargs, expected", [
    # With keywords, the number found is the position of the first missing required parameter.
    ("guassian_kernel_mmd", 0, {"source": 1}, "guassian_kernel_mmd() takes at least 2 positional arguments (1 given)"),
    ("MMD", 0, {"target": 1}, "MMD() takes at least 2 positional arguments (0 given)"),
    ("MMD", 1, {"source": 1}, "MMD() takes at least 2 positional arguments (1 given)"),
    ("MMD", 0, {"source": 1, "kernel_mul": 2, "fix_sigma": 3},
     "MMD() takes at least 2 positional arguments (1 given)"),
    ("compute_joint", 0, {"x_tf_out": 1}, "compute_joint() takes exactly 2 positional arguments (0 given)"),
    ("compute_joint", 1, {"x_out": 1}, "compute_joint() takes exactly 2 positional arguments (1 given)"),
    ("instance_contrastive_Loss", 0, {"x_out": 1, "lamb": 2},
     "instance_contrastive_Loss() takes at least 2 positional arguments (1 given)"),
    ("category_contrastive_loss", 1, {"gt": 1, "flag_gt": 3},
     "category_contrastive_loss() takes exactly 4 positional arguments (2 given)"),
    ("category_contrastive_loss", 0, {"gt": 1, "classes": 2, "flag_gt": 3},
     "category_contrastive_loss() takes exactly 4 positional arguments (0 given)"),
    # Too many positional arguments is checked before any keyword.
    ("MMD", 6, {"fix_sigma": 1}, "MMD() takes at most 5 positional arguments (6 given)"),
    ("compute_joint", 3, {"bogus": 1}, "compute_joint() takes exactly 2 positional arguments (3 given)"),
    # Keywords that name positionally given parameters.
    ("MMD", 2, {"source": 1}, "MMD() got multiple values for keyword argument 'source'"),
    ("MMD", 3, {"kernel_num": 1, "kernel_mul": 2}, "MMD() got multiple values for keyword argument 'kernel_mul'"),
    ("compute_joint", 2, {"x_tf_out": 1}, "compute_joint() got multiple values for keyword argument 'x_tf_out'"),
    ("category_contrastive_loss", 4, {"repre": 1},
     "category_contrastive_loss() got multiple values for keyword argument 'repre'"),
    # Unknown names, also after valid optional keywords.
    ("MMD", 2, {"sigma": 1}, "MMD() got an unexpected keyword argument 'sigma'"),
    ("MMD", 2, {"kernel_mul": 3, "sigma": 1}, "MMD() got an unexpected keyword argument 'sigma'"),
    ("guassian_kernel_mmd", 2, {"Source": 1}, "guassian_kernel_mmd() got an unexpected keyword argument 'Source'"),
    ("instance_contrastive_Loss", 2, {"eps": 1},
     "instance_contrastive_Loss() got an unexpected keyword argument 'eps'"),
    ("instance_contrastive_Loss", 2, {"lamb": 1, "EPS": 2, "x": 3},
     "instance_contrastive_Loss() got an unexpected keyword argument 'x'"),
    ("compute_joint", 2, {"x_out_": 1}, "compute_joint() got an unexpected keyword argument 'x_out_'"),
    ("category_contrastive_loss", 4, {"flag": 1},
     "category_contrastive_loss() got an unexpected keyword argument 'flag'"),
])
def test_keyword_errors(name, nargs, kwargs, expected, route):
    assert binding_error(name, [object()] * nargs, kwargs, route) == expected


class Named(str):
    pass


class Raising(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("no comparing")


def labelled():
    log = []
    return log, Duck(torch.rand(4, 3), "x", log), Duck(torch.rand(4, 3), "y", log)


@pytest.mark.parametrize("route", sorted(ROUTES))
@pytest.mark.parametrize("call", [
    lambda f, x, y: f(x, y),
    lambda f, x, y: f(x, x_tf_out=y),
    lambda f, x, y: f(x_out=x, x_tf_out=y),
    lambda f, x, y: f(x_tf_out=y, x_out=x),
    lambda f, x, y: f(**{Named("x_tf_out"): y, Named("x_out"): x}),
    lambda f, x, y: f(x, **{Named("x_tf_out"): y}),
])
def test_keywords_bind_by_name(call, route):
    log, x, y = labelled()
    result = call(ROUTES[route](loss.compute_joint), x, y)
    # The body unpacks x_out.size() first, then (unless under -O) checks x_tf_out.size(0) and (1).
    expected = [("x", "size")] + ([] if sys.flags.optimize else [("y", "size", 0), ("y", "size", 1)])
    assert log[:len(expected)] == expected
    assert torch.allclose(result._t, loss.compute_joint(x._t, y._t))


def test_str_subclass_keyword_for_positional_parameter():
    assert binding_error("compute_joint", [1, 2], {Named("x_out"): 3}) == \
        "compute_joint() got multiple values for keyword argument 'x_out'"
    assert binding_error("MMD", [1, 2], {Named("sigma"): 3}) == "MMD() got an unexpected keyword argument 'sigma'"


@pytest.mark.parametrize("name, nargs, key", [
    ("compute_joint", 1, "x_tf_out"),
    ("compute_joint", 0, "x_out"),
    ("MMD", 2, "kernel_num"),
    ("category_contrastive_loss", 3, "flag_gt"),
])
def test_keyword_comparison_error_propagates(name, nargs, key):
    # A str subclass is compared by its own __eq__; its error ends the binding.
    binding_error(name, [object()] * nargs, {Raising(key): 1}, exc=LookupError)


@pytest.mark.parametrize("route", ["direct", "__call__", "partial"])
def test_non_str_keyword_is_type_error(route):
    # Newer interpreters refuse the key themselves; 3.8 hands it to the binder.
    with pytest.raises(TypeError, match="keywords must be strings"):
        ROUTES[route](loss.compute_joint)(1, 2, **{1: 2})


def test_mmd_keywords_reach_kernel_call(monkeypatch):
    # MMD calls the module global, so a stand-in there sees how MMD bound its arguments.
    seen = []

    class Stop(Exception):
        pass

    def kernel(*args, **kwargs):
        seen.append((args, kwargs))
        raise Stop

    monkeypatch.setattr(loss, "guassian_kernel_mmd", kernel)
    s, t = torch.rand(3, 2), torch.rand(4, 2)
    for call in (lambda: loss.MMD(target=t, source=s, fix_sigma=None), lambda: loss.MMD(s, t)):
        with pytest.raises(Stop):
            call()
    # Defaults come from the module's constants, not from __defaults__.
    saved = loss.MMD.__defaults__
    with pytest.warns(RuntimeWarning):
        loss.MMD.__defaults__ = (3, 7, 1.0)
    try:
        with pytest.raises(Stop):
            loss.MMD(s, t)
    finally:
        with pytest.warns(RuntimeWarning):
            loss.MMD.__defaults__ = saved
    with pytest.raises(Stop):
        loss.MMD(s, t, 4, kernel_num=5)
    assert seen[-1][1]["kernel_mul"] == 4 and seen[-1][1]["kernel_num"] == 5
    del seen[-1]
    for args, kwargs in seen:
        assert args[0] is s and args[1] is t
        assert sorted(kwargs) == ["fix_sigma", "kernel_mul", "kernel_num"]
        assert kwargs["kernel_mul"] == 2 and kwargs["kernel_num"] == 6
        assert type(kwargs["kernel_mul"]) is int and type(kwargs["kernel_num"]) is int


@pytest.mark.parametrize("name", sorted(TABLE))
@pytest.mark.parametrize("junk", [None, 1, "x", object(), [1, 2], (3,), {}])
def test_arbitrary_arguments_raise_cleanly(name, junk):
    params, required, _ = TABLE[name]
    with pytest.raises(Exception) as info:
        getattr(loss, name)(*[junk] * len(params))
    assert not isinstance(info.value, NotImplementedError), "body not implemented yet"
    assert entries(info.value), "failure without a loss.py entry"


@pytest.mark.parametrize("name, args, kwargs", [
    ("compute_joint", 1, {}),
    ("compute_joint", 1, {"x_out": 0}),
    ("MMD", 2, {"source": 0}),
    ("MMD", 2, {"sigma": 0}),
    ("MMD", 6, {}),
    ("category_contrastive_loss", 3, {"gt": 0}),
    ("instance_contrastive_Loss", 1, {Raising("x_tf_out"): 0}),
])
def test_binding_errors_do_not_leak(name, args, kwargs):
    t = torch.rand(2, 2)
    values = [t] * args
    kw = dict((k, t) for k in kwargs)
    assert_steady(lambda: getattr(loss, name)(*values, **kw), t)


# A generic call may hand over the caller's own keyword dict; a callee that empties
# it while the call runs must not free the values the body still uses.
@pytest.mark.parametrize("route", [
    "type(loss.compute_joint).__call__(loss.compute_joint, Emptier(), **d)",
    # A new thread calls with the very dict it was given.
    # The count goes up in the new thread itself, so wait until it has begun the call too.
    "_thread.start_new_thread(loss.compute_joint.__call__, (Emptier(),), d)\n"
    "while not sized or _thread._count(): time.sleep(0.01)",
])
def test_keyword_dict_emptied_during_call(route):
    proc = run_python('''
import _thread, gc, time, loss
class Held(object):
    def size(self, *dims):
        return 4
    def __del__(self):
        pass
sized = []
class Emptier(object):
    def size(self):
        sized.append(1)
        d.clear()
        gc.collect()
        [bytearray(48) for _ in range(10000)]  # reuse whatever was freed
        return (4, 3)
d = {"x_tf_out": Held()}
try:
    %s
except Exception:
    pass
print("alive")
''' % route.replace("\n", "\n    "))
    assert proc.returncode == 0 and proc.stdout.strip().endswith("alive"), proc.stderr
