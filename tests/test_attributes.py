"""Attributes of the five loss functions: reading, assigning and deleting them,
pickling, repr, binding through a class, and what inspect, pydoc and functools
make of the objects."""
import asyncio
import copy
import functools
import gc
import inspect
import io
import pickle
import pydoc
import re
import sys
import textwrap
import warnings
import weakref

import pytest
import torch

import loss
from helpers import child

NAMES = ("guassian_kernel_mmd", "MMD", "compute_joint", "instance_contrastive_Loss", "category_contrastive_loss")
EPS = sys.float_info.epsilon

_MMD_ARGS = (
    "    source: source样本，形状为 (sample_size_1, feature_size)\n"
    "    target: target样本，形状为 (sample_size_2, feature_size)\n"
    "    kernel_mul: 高斯核带宽的缩放因子\n"
    "    kernel_num: 核的数量\n"
    "    fix_sigma: 如果提供了sigma值，则固定带宽\n"
    "    "
)
DOCS = {
    "guassian_kernel_mmd": "计算高斯核矩阵（Gram Kernel Matrix），并返回MMD损失的核矩阵。\n\n" + _MMD_ARGS,
    "MMD": "计算最大均值差异（MMD）损失\n\n" + _MMD_ARGS,
    "compute_joint": None,
    "instance_contrastive_Loss": "Contrastive loss for maximizng the consistency",
    "category_contrastive_loss": (
        "Category-level contrastive loss.\n\n    This function computes loss on the representation corresponding"
        " to its groundtruth (repre, gt).  A\n\n    Args:\n      repre: [N, D] float tensor.\n"
        "      gt: [N, 1] float tensor.\n      classes:  int tensor.\n\n    Returns:\n"
        "      loss:  float tensor.\n    "
    ),
}
DEFAULTS = {
    "guassian_kernel_mmd": (2, 6, None),
    "MMD": (2, 6, None),
    "compute_joint": None,
    "instance_contrastive_Loss": (1.0, EPS),
    "category_contrastive_loss": None,
}
_MMD_VARS = ("source", "target", "kernel_mul", "kernel_num", "fix_sigma")
CODES = {  # argument count, first line, variable names
    "guassian_kernel_mmd": (5, 7, _MMD_VARS + (
        "n_samples", "total", "total0", "total1", "L2_distance", "bandwidth", "bandwidth_list", "kernel_val",
        "i", "bandwidth_temp")),
    "MMD": (5, 39, _MMD_VARS + ("n", "m", "kernels", "XX", "YY", "XY", "YX", "loss")),
    "compute_joint": (2, 136, ("x_out", "x_tf_out", "bn", "k", "p_i_j")),
    "instance_contrastive_Loss": (4, 150, (
        "x_out", "x_tf_out", "lamb", "EPS", "_", "k", "p_i_j", "p_i", "p_j", "loss")),
    "category_contrastive_loss": (4, 172, (
        "repre", "gt", "classes", "flag_gt", "batch_size", "F_h_h", "F_hn_hn", "label_onehot", "label_num",
        "F_h_h_sum", "label_num_broadcast", "F_h_h_mean", "gt_", "F_h_h_mean_max", "theta", "F_h_hn_mean_",
        "F_h_hn_mean")),
}
SIGNATURES = {
    "guassian_kernel_mmd": "(source, target, kernel_mul=2, kernel_num=6, fix_sigma=None)",
    "MMD": "(source, target, kernel_mul=2, kernel_num=6, fix_sigma=None)",
    "compute_joint": "(x_out, x_tf_out)",
    "instance_contrastive_Loss": "(x_out, x_tf_out, lamb=1.0, EPS=2.220446049250313e-16)",
    "category_contrastive_loss": "(repre, gt, classes, flag_gt)",
}
WARNING = "changes to vorlet.%s will not currently affect the values used in function calls"
READ_ONLY = ("__globals__", "func_globals", "__closure__", "func_closure", "__code__", "func_code", "_is_coroutine")
ALIASES = (("func_doc", "__doc__"), ("func_name", "__name__"), ("func_dict", "__dict__"),
           ("func_globals", "__globals__"), ("func_closure", "__closure__"), ("func_code", "__code__"),
           ("func_defaults", "__defaults__"))
_RESTORED = ("__doc__", "__name__", "__qualname__", "__module__", "__annotations__", "__defaults__",
             "__kwdefaults__")


class Thing:
    pass


class Str(str):
    pass


@pytest.fixture(autouse=True)
def pristine():
    """Every test leaves the module's functions as it found them."""
    saved = []
    for name in NAMES:
        f = getattr(loss, name)
        saved.append((f, {a: getattr(f, a) for a in _RESTORED}, f.__dict__, dict(f.__dict__)))
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for f, attrs, d, contents in saved:
            for a, v in attrs.items():
                setattr(f, a, v)
            d.clear()
            d.update(contents)
            f.__dict__ = d


def assign(f, attr, value, delete=False):
    """Assigns (or deletes) and returns the texts of the warnings it issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if delete:
            delattr(f, attr)
        else:
            setattr(f, attr, value)
    return [str(w.message) for w in caught]


def run_fresh(code, stdin=None):
    proc = child("-c", textwrap.dedent(code), stdin=stdin)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def not_writable(attr, f):
    tp = type(f)
    tp_name = tp.__qualname__ if tp.__module__ == "builtins" else tp.__module__ + "." + tp.__qualname__
    return "attribute '%s' of '%s' objects is not writable" % (attr, tp_name)


# -- reading ------------------------------------------------------------------

READS = [(name, attr, expected) for name in NAMES for attr, expected in (
    ("__name__", name), ("__qualname__", name), ("__module__", "loss"), ("__doc__", DOCS[name]),
    ("__defaults__", DEFAULTS[name]), ("__kwdefaults__", None), ("__closure__", None),
    ("_is_coroutine", False), ("__annotations__", {}))]


@pytest.mark.parametrize("name, attr, expected", READS)
def test_read(name, attr, expected):
    value = getattr(getattr(loss, name), attr)
    assert value == expected and type(value) is type(expected)
    if isinstance(expected, tuple):  # ints stay ints, floats floats
        assert [type(v) for v in value] == [type(v) for v in expected]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("attr", ("__doc__", "__name__", "__qualname__", "__dict__", "__annotations__",
                                  "__defaults__", "__kwdefaults__", "__code__", "__globals__", "_is_coroutine"))
def test_read_twice_gives_the_same_object(name, attr):
    f = getattr(loss, name)
    assert getattr(f, attr) is getattr(f, attr)


@pytest.mark.parametrize("name", NAMES)
def test_identities(name):
    f = getattr(loss, name)
    assert f.__globals__ is vars(loss)
    assert f.__name__ is sys.intern(name)
    assert type(f.__dict__) is dict and vars(f) is f.__dict__
    assert gc.is_tracked(f)
    referents = gc.get_referents(f)
    assert any(r is f.__globals__ for r in referents) and any(r is f.__code__ for r in referents)


def test_mmd_functions_share_one_defaults_tuple():
    assert loss.MMD.__defaults__ is loss.guassian_kernel_mmd.__defaults__


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("alias, attr", ALIASES)
def test_alias_reads_the_attribute(name, alias, attr):
    f = getattr(loss, name)
    assert getattr(f, alias) is getattr(f, attr)


@pytest.mark.parametrize("name", NAMES)
def test_code_object(name):
    argcount, line, varnames = CODES[name]
    code = getattr(loss, name).__code__
    assert (code.co_argcount, code.co_nlocals, code.co_varnames) == (argcount, len(varnames), varnames)
    assert (code.co_firstlineno, code.co_filename, code.co_name) == (line, "loss.py", name)
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_flags == 3  # optimized, new locals, and nothing else on any version
    assert (code.co_freevars, code.co_cellvars) == ((), ())


# -- assigning and deleting ---------------------------------------------------

STORED = "stored"
NAME_ERR = "__name__ must be set to a string object"
QUALNAME_ERR = "__qualname__ must be set to a string object"
DEFAULTS_ERR = "__defaults__ must be set to a tuple object"
KWDEFAULTS_ERR = "__kwdefaults__ must be set to a dict object"
ANNOTATIONS_ERR = "__annotations__ must be set to a dict object"
NON_DICT = "setting function's dictionary to a non-dict"

ASSIGNMENTS = [
    ("__doc__", "other", STORED), ("__doc__", 42, STORED), ("__doc__", None, STORED), ("__doc__", Thing, STORED),
    ("__name__", "other", STORED), ("__name__", Str("sub"), STORED), ("__name__", 1, NAME_ERR),
    ("__name__", None, NAME_ERR), ("__name__", b"MMD", NAME_ERR),
    ("__qualname__", "Cls.other", STORED), ("__qualname__", None, QUALNAME_ERR), ("__qualname__", 3, QUALNAME_ERR),
    ("__dict__", {"a": 1}, STORED), ("__dict__", None, NON_DICT), ("__dict__", [("a", 1)], NON_DICT),
    ("__defaults__", (3, 7, None), STORED), ("__defaults__", (), STORED), ("__defaults__", None, STORED),
    ("__defaults__", [2, 6, None], DEFAULTS_ERR), ("__defaults__", {}, DEFAULTS_ERR),
    ("__kwdefaults__", {"kernel_mul": 3}, STORED), ("__kwdefaults__", None, STORED),
    ("__kwdefaults__", (1,), KWDEFAULTS_ERR), ("__kwdefaults__", [], KWDEFAULTS_ERR),
    ("__annotations__", {"return": int}, STORED), ("__annotations__", (), ANNOTATIONS_ERR),
    ("__annotations__", 1, ANNOTATIONS_ERR),
    ("__module__", "elsewhere", STORED), ("__module__", None, STORED), ("__module__", 7, STORED),
    ("func_doc", 42, STORED), ("func_name", "other", STORED), ("func_name", 1, NAME_ERR),
    ("func_dict", {"b": 2}, STORED), ("func_dict", 1, NON_DICT),
    ("func_defaults", (1,), STORED), ("func_defaults", [1], DEFAULTS_ERR),
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("attr, value, outcome", ASSIGNMENTS)
def test_assign(name, attr, value, outcome):
    f = getattr(loss, name)
    before = getattr(f, attr)
    warns = ("__defaults__", "__kwdefaults__", "func_defaults")
    if outcome is STORED:
        caught = assign(f, attr, value)
        assert getattr(f, attr) is value
        canonical = dict(ALIASES).get(attr, attr)
        assert getattr(f, canonical) is value
        assert caught == ([WARNING % canonical] if attr in warns else [])
    else:
        with pytest.raises(TypeError) as info:
            assign(f, attr, value)
        assert str(info.value) == outcome
        assert getattr(f, attr) is before


DELETIONS = [
    ("__doc__", None), ("func_doc", None), ("__module__", None), ("__defaults__", None),
    ("func_defaults", None), ("__kwdefaults__", None), ("__name__", NAME_ERR), ("func_name", NAME_ERR),
    ("__qualname__", QUALNAME_ERR), ("__dict__", "function's dictionary may not be deleted"),
    ("func_dict", "function's dictionary may not be deleted"),
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("attr, outcome", DELETIONS)
def test_delete(name, attr, outcome):
    f = getattr(loss, name)
    before = getattr(f, attr)
    if outcome is None:
        caught = assign(f, attr, None, delete=True)
        assert getattr(f, attr) is None
        canonical = dict(ALIASES).get(attr, attr)
        assert caught == ([WARNING % canonical] if canonical in ("__defaults__", "__kwdefaults__") else [])
    else:
        with pytest.raises(TypeError) as info:
            delattr(f, attr)
        assert str(info.value) == outcome
        assert getattr(f, attr) is before


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("action", ("none", "delete"))
def test_emptied_annotations_come_back_as_a_new_dict(name, action):
    f = getattr(loss, name)
    old = f.__annotations__
    assign(f, "__annotations__", None, delete=action == "delete")
    new = f.__annotations__
    assert new == {} and new is not old and f.__annotations__ is new


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("attr", READ_ONLY)
@pytest.mark.parametrize("action", ("set", "delete"))
def test_read_only(name, attr, action):
    f = getattr(loss, name)
    before = getattr(f, attr)
    with pytest.raises(AttributeError) as info:
        if action == "set":
            setattr(f, attr, None)
        else:
            delattr(f, attr)
    assert str(info.value) == not_writable(attr, f)
    assert getattr(f, attr) is before and attr not in f.__dict__


@pytest.mark.parametrize("attr, make, replacement", [
    ("__doc__", Thing, None), ("__module__", Thing, None), ("__name__", lambda: "".join(["na", "me"]), "x"),
    ("__qualname__", lambda: "".join(["qual", "name"]), "x"), ("__dict__", dict, {}),
    ("__annotations__", dict, None), ("__defaults__", lambda: (Thing(),), None),
    ("__kwdefaults__", lambda: {"k": Thing()}, None),
])
def test_stored_values_hold_one_reference(attr, make, replacement):
    f = loss.MMD
    value = make()
    base = sys.getrefcount(value)
    assign(f, attr, value)
    assert sys.getrefcount(value) == base + 1
    for _ in range(100):
        getattr(f, attr)
    assert sys.getrefcount(value) == base + 1
    assign(f, attr, replacement)
    # A free-threaded build lets go of a replaced __dict__ only once no thread can still be
    # reading it without a lock; a collection gets there.
    gc.collect()
    assert sys.getrefcount(value) == base


@pytest.mark.parametrize("name", NAMES)
def test_arbitrary_attributes_live_in_the_dict(name):
    f, other = getattr(loss, name), loss.compute_joint if name != "compute_joint" else loss.MMD
    marker = Thing()
    f.marker = marker
    assert f.__dict__["marker"] is marker and f.marker is marker and not hasattr(other, "marker")
    del f.marker
    assert "marker" not in f.__dict__
    with pytest.raises(AttributeError):
        f.marker
    f.__dict__ = {"marker": marker}
    assert f.marker is marker


# -- defaults -----------------------------------------------------------------

@pytest.mark.parametrize("name, attr, value", [
    ("MMD", "__defaults__", (3, 7, None)), ("instance_contrastive_Loss", "__defaults__", (5.0, 1.0)),
    ("compute_joint", "__kwdefaults__", {"a": 1}), ("MMD", "__defaults__", None),
])
def test_warning_points_at_the_assignment(name, attr, value):
    f = getattr(loss, name)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        setattr(f, attr, value)
    [w] = caught
    assert w.category is RuntimeWarning and str(w.message) == WARNING % attr
    assert (w.filename, w.lineno) == (__file__, line)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("attr, value", [
    ("__defaults__", (3, 7, None)), ("__defaults__", None), ("__kwdefaults__", {"k": 1}), ("__kwdefaults__", None),
])
@pytest.mark.parametrize("delete", (False, True))
def test_warning_as_error_leaves_the_attribute(name, attr, value, delete):
    f = getattr(loss, name)
    before = getattr(f, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning) as info:
            if delete:
                delattr(f, attr)
            else:
                setattr(f, attr, value)
        assert str(info.value) == WARNING % attr
        assert getattr(f, attr) is before
        with pytest.raises(TypeError):  # a wrong type is refused before any warning
            setattr(f, attr, [])


def _mmd_inputs():
    g = torch.Generator().manual_seed(0)
    return torch.randn(4, 3, generator=g, dtype=torch.float64), torch.randn(4, 3, generator=g, dtype=torch.float64)


def _joint_inputs():
    g = torch.Generator().manual_seed(1)
    return tuple(torch.softmax(torch.randn(6, 3, generator=g, dtype=torch.float64), 1) for _ in range(2))


@pytest.mark.parametrize("name, attr, value, own, assigned", [
    ("MMD", "__defaults__", (3, 7, None), (2, 6, None), (3, 7, None)),
    ("MMD", "__defaults__", None, (2, 6, None), None),
    ("MMD", "__kwdefaults__", {"kernel_mul": 3}, (2, 6, None), (3,)),
    ("guassian_kernel_mmd", "__defaults__", (3, 7, 1.0), (2, 6, None), (3, 7, 1.0)),
    ("instance_contrastive_Loss", "__defaults__", (5.0, 0.5), (1.0, EPS), (5.0, 0.5)),
    ("instance_contrastive_Loss", "__defaults__", None, (1.0, EPS), None),
    ("instance_contrastive_Loss", "__kwdefaults__", {"lamb": 5.0}, (1.0, EPS), (5.0,)),
])
def test_calls_ignore_the_defaults_attributes(name, attr, value, own, assigned):
    f = getattr(loss, name)
    inputs = _joint_inputs() if name == "instance_contrastive_Loss" else _mmd_inputs()
    expected = f(*inputs + own)
    if assigned is not None:  # the inputs tell the two sets of defaults apart
        assert not torch.equal(expected, f(*inputs + assigned))
    assign(f, attr, value)
    assert torch.equal(f(*inputs), expected)


# Each scenario needs a defaults getter that has not run yet.
FRESH_DEFAULTS = {
    "first read builds and keeps": """
        assert f.__kwdefaults__ is None
        d = f.__defaults__
        assert d == (1.0, EPS) and [type(v) for v in d] == [float, float] and f.__defaults__ is d
        """,
    "kwdefaults assigned first": """
        f.__kwdefaults__ = {"lamb": 3.0}
        assert f.__defaults__ == (1.0, EPS) and f.__kwdefaults__ == {"lamb": 3.0}
        """,
    "defaults assigned first": """
        f.__defaults__ = (5.0,)
        assert f.__kwdefaults__ is None and f.__defaults__ == (5.0,)
        """,
    "defaults deleted first": """
        del f.__defaults__
        assert f.__kwdefaults__ is None and f.__defaults__ is None
        """,
    "kwdefaults deleted first": """
        del f.__kwdefaults__
        assert f.__defaults__ == (1.0, EPS) and f.__kwdefaults__ is None
        """,
    "refused assignment": """
        warnings.simplefilter("error")
        try:
            f.__defaults__ = (5.0,)
        except RuntimeWarning:
            pass
        else:
            raise AssertionError("no warning raised")
        assert f.__defaults__ == (1.0, EPS)
        """,
    "getter uses the stored epsilon": """
        import types
        sys.float_info = types.SimpleNamespace(epsilon=0.5)
        assert f.__defaults__ == (1.0, EPS)
        """,
}


@pytest.mark.parametrize("scenario", sorted(FRESH_DEFAULTS))
def test_defaults_getter_in_a_fresh_interpreter(scenario):
    run_fresh("import sys, warnings, loss\nwarnings.simplefilter('ignore')\n"
              "f = loss.instance_contrastive_Loss\nEPS = sys.float_info.epsilon\n"
              + textwrap.dedent(FRESH_DEFAULTS[scenario]))


def test_eps_default_is_read_at_import():
    run_fresh("""
        import sys, types, inspect, torch
        real, sys.float_info = sys.float_info, types.SimpleNamespace(epsilon=0.5)
        import loss
        sys.float_info = real
        f = loss.instance_contrastive_Loss
        assert f.__defaults__ == (1.0, 0.5), f.__defaults__
        assert str(inspect.signature(f)) == "(x_out, x_tf_out, lamb=1.0, EPS=0.5)"
        """)


def test_first_reads_are_kept_in_a_fresh_interpreter():
    run_fresh("""
        import loss
        for name in %r:
            f = getattr(loss, name)
            for attr in ("__doc__", "__name__", "__dict__", "__annotations__", "_is_coroutine", "__defaults__",
                         "__kwdefaults__"):
                assert getattr(f, attr) is getattr(f, attr), (name, attr)
        """ % (NAMES,))


# -- docstrings and introspection ---------------------------------------------

@pytest.mark.parametrize("name", NAMES)
def test_docstring_tools(name):
    f, doc = getattr(loss, name), DOCS[name]
    assert inspect.getdoc(f) == (doc and inspect.cleandoc(doc))
    text = pydoc.render_doc(f, renderer=pydoc.plaintext)
    assert name + SIGNATURES[name] in text
    for line in inspect.cleandoc(doc or "").splitlines():
        assert line.strip() in text
    out = io.StringIO()
    pydoc.Helper(output=out).help(f)
    assert name + SIGNATURES[name] in out.getvalue()
    assert doc is None or doc.splitlines()[0] in out.getvalue()


@pytest.mark.parametrize("name", NAMES)
def test_signature(name):
    f = getattr(loss, name)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert not inspect.iscoroutinefunction(f)
    if sys.version_info < (3, 14):  # deprecated from 3.14
        assert not asyncio.iscoroutinefunction(f)


@pytest.mark.parametrize("name", NAMES)
def test_functools_wraps(name):
    f = getattr(loss, name)
    f.marker = 1

    @functools.wraps(f)
    def wrapper(*args, **kwargs):
        return f(*args, **kwargs)

    got = (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__, wrapper.__module__, wrapper.__wrapped__)
    assert got == (name, name, DOCS[name], "loss", f) and wrapper.__wrapped__ is f
    assert wrapper.marker == 1 and wrapper.__annotations__ == {}
    assert str(inspect.signature(wrapper)) == SIGNATURES[name]


# -- pickling, copying, repr, binding, weak references ------------------------

@pytest.mark.parametrize("name", NAMES)
def test_reduce_returns_the_qualname(name):
    f = getattr(loss, name)
    assert f.__reduce__() == name and f.__reduce__(1, "x") == name and f.__reduce_ex__(2) == name
    f.__qualname__ = "Other.place"
    assert f.__reduce__() == "Other.place"


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("proto", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_copy_give_the_same_object(name, proto):
    f = getattr(loss, name)
    assert pickle.loads(pickle.dumps(f, proto)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f and copy.deepcopy([f])[0] is f


def test_pickle_round_trip_between_interpreters():
    dumped = run_fresh("""
        import pickle, loss
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            print(pickle.dumps([getattr(loss, n) for n in %r], proto).hex())
        """ % (NAMES,))
    run_fresh("""
        import pickle, sys
        assert "loss" not in sys.modules
        for line in sys.stdin.read().split():
            got = pickle.loads(bytes.fromhex(line))
            import loss
            assert all(g is getattr(loss, n) for g, n in zip(got, %r)), got
        """ % (NAMES,), stdin=dumped)


@pytest.mark.parametrize("name", NAMES)
def test_repr(name):
    f = getattr(loss, name)
    match = re.match(r"<vorlet %s at 0x([0-9a-fA-F]+)>\Z" % name, repr(f))
    assert match and int(match.group(1), 16) == id(f)
    before = repr(f)
    f.__name__ = "renamed"  # the name plays no part
    assert repr(f) == before
    f.__qualname__ = "Cls.meth"
    assert repr(f) == before.replace(name, "Cls.meth", 1)


@pytest.mark.parametrize("name, count", [
    ("guassian_kernel_mmd", None), ("MMD", None), ("compute_joint", "exactly 2"),
    ("instance_contrastive_Loss", None), ("category_contrastive_loss", "exactly 4"),
])
def test_binding_through_a_class(name, count):
    f = getattr(loss, name)
    cls = type("Holder", (), {"m": f})
    obj = cls()
    assert cls.m is f
    bound = obj.m
    assert bound.__self__ is obj and bound.__func__ is f
    assert str(inspect.signature(bound)) == "(" + SIGNATURES[name].split(", ", 1)[1]
    if count:  # the instance counts as the first argument
        with pytest.raises(TypeError) as info:
            bound()
        assert str(info.value) == "%s() takes %s positional arguments (1 given)" % (name, count)


@pytest.mark.parametrize("name", NAMES)
def test_weak_reference(name):
    f = getattr(loss, name)
    ref = weakref.ref(f)
    assert ref() is f and weakref.proxy(f).__name__ == name


@pytest.mark.parametrize("cycle", [
    "f.me = f",
    "f.__defaults__ = (box,)",
    "f.__kwdefaults__ = {'x': box}",
    "f.__annotations__['x'] = box",
    "f.__doc__ = box",
    "f.__module__ = box",
    "f.__qualname__ = Name('MMD'); f.__qualname__.f = f",
    "f.__name__ = Name('MMD'); f.__name__.f = f",
])
def test_released_function_dies_with_its_weak_references(cycle):
    run_fresh("""
        import gc, warnings, weakref, loss
        warnings.simplefilter("ignore")
        class Box(object): pass
        class Name(str): pass
        f = loss.MMD
        box = Box()
        box.f = f
        died = []
        ref = weakref.ref(f, died.append)
        %s
        del loss.MMD, f, box
        gc.collect()
        assert ref() is None and died == [ref]
        """ % cycle)


# Each allocation that making the value needs fails once in turn: a failed read
# raises MemoryError and leaves the slot empty, so that a later read succeeds.
# A binder error first puts the def line's entry of the function in the code-object cache; the
# getter's entry on the same line keeps its own name.
@pytest.mark.parametrize("name, attr, bind_first", [
    ("instance_contrastive_Loss", "__defaults__", False),
    ("instance_contrastive_Loss", "__defaults__", True),
    ("MMD", "__doc__", False),
    ("MMD", "__annotations__", False),
    ("MMD", "__dict__", False),
])
def test_out_of_memory_leaves_lazy_slot_empty(name, attr, bind_first):
    pytest.importorskip("_testcapi")
    out = run_fresh("""
        import _testcapi, functools, traceback, loss
        f = getattr(loss, %r)
        if %r:
            try:
                f()
            except TypeError:
                pass
        failures, entries, hold = 0, set(), None
        for start in range(40):
            # Armed without making an argument tuple, after emptying the free
            # lists: every new tuple or dict then needs the allocator.
            arm = functools.partial(_testcapi.set_nomemory, start, start + 1)
            hold = None
            hold = [tuple([i, i]) for i in range(5000)], [{} for i in range(300)]
            arm()
            try:
                value = getattr(f, %r)
            except MemoryError as exc:
                _testcapi.remove_mem_hooks()
                failures += 1
                entries.update((s.name, s.filename, s.lineno) for s in traceback.extract_tb(exc.__traceback__)
                               if s.filename == "loss.py")
                continue
            _testcapi.remove_mem_hooks()
            break
        assert getattr(f, %r) is value
        print(failures, sorted(entries))
        """ % (name, bind_first, attr, attr))
    failures, entries = out.split(" ", 1)
    assert int(failures) > 0
    expected = [("loss.__defaults__", "loss.py", 150)] if attr == "__defaults__" else []
    assert eval(entries) == expected
