"""Globals and module attributes are looked up at every use: every way of
changing them must be seen by the very next call."""
import builtins
import types

import pytest
import torch
import torch.nn.functional as F

import loss


class Hit(Exception):
    pass


def boom(*args, **kwargs):
    raise Hit


def everything_booms():
    """A module whose every attribute is boom."""
    mod = types.ModuleType("torch")
    mod.__getattr__ = lambda name: boom
    return mod


def fake_torch():
    """A module standing in for torch: the real functions, and its own nn.functional."""
    fake = types.ModuleType("torch")
    vars(fake).update(vars(torch))
    fake.nn = types.ModuleType("torch.nn")
    fake.nn.functional = types.ModuleType("torch.nn.functional")
    fake.nn.functional.one_hot = F.one_hot
    return fake


def run(name):
    x = torch.rand(6, 3)
    if name == "category_contrastive_loss":
        return loss.category_contrastive_loss(x, torch.tensor([0, 1, 2, 0, 1, 2]), 3, False)
    return getattr(loss, name)(x.softmax(1), x.softmax(1))


# (function, where its name lives, name): "loss" is the module's globals.
USES = [("guassian_kernel_mmd", "torch", n) for n in ("cat", "sum", "exp")] + [
    ("MMD", "loss", "guassian_kernel_mmd"), ("MMD", "torch", "div"),
    ("instance_contrastive_Loss", "loss", "compute_joint"),
] + [("instance_contrastive_Loss", "torch", n) for n in ("where", "tensor", "log")] + [
    ("category_contrastive_loss", "torch", n)
    for n in ("matmul", "diag", "diag_embed", "sum", "div", "argmax", "max", "relu", "add", "sub")
] + [("category_contrastive_loss", "functional", "one_hot"), ("category_contrastive_loss", "loss", "torch")]


MODULE_ATTRS = [use for use in USES if use[1] != "loss"]
GLOBALS = [(fn, name) for fn, where, name in USES if where == "loss"]


def failing(name):
    """What `name` is replaced with so that the next call raises Hit."""
    return everything_booms() if name == "torch" else boom


def hooked(name):
    """A module class that answers `name` itself, with boom."""
    class Hooked(types.ModuleType):
        def __getattribute__(self, attr):
            return boom if attr == name else types.ModuleType.__getattribute__(self, attr)
    return Hooked


def set_attr(mod, name, value):
    setattr(mod, name, value)


def set_item(mod, name, value):
    vars(mod)[name] = value


def update(mod, name, value):
    vars(mod).update({name: value})


def pop_and_setdefault(mod, name, value):
    vars(mod).pop(name)
    vars(mod).setdefault(name, value)


def clear_and_refill(mod, name, value):
    saved = dict(vars(mod), **{name: value})
    vars(mod).clear()
    vars(mod).update(saved)


CHANGES = [set_attr, set_item, update, pop_and_setdefault, clear_and_refill]


@pytest.fixture
def fake(monkeypatch):
    fake = fake_torch()
    monkeypatch.setattr(loss, "torch", fake)
    return fake


def owner(where, fake):
    return {"loss": loss, "torch": fake, "functional": fake.nn.functional}[where]


# The module under test is not emptied, even for a moment.
@pytest.mark.parametrize("fn, where, name, change", [
    use + (change,) for use in USES for change in CHANGES if not (use[1] == "loss" and change is clear_and_refill)])
def test_a_changed_name_is_seen_by_the_next_call(fn, where, name, change, fake, monkeypatch):
    mod = owner(where, fake)
    if mod is loss:
        monkeypatch.setattr(loss, name, getattr(loss, name))  # restored afterwards
    original = getattr(mod, name)
    run(fn)
    run(fn)
    change(mod, name, failing(name))
    with pytest.raises(Hit):
        run(fn)
    change(mod, name, original)
    run(fn)


@pytest.mark.parametrize("fn, where, name", MODULE_ATTRS)
def test_a_deleted_attribute_raises_the_modules_error(fn, where, name, fake):
    mod = owner(where, fake)
    run(fn)
    delattr(mod, name)
    with pytest.raises(AttributeError, match="has no attribute '%s'" % name):
        run(fn)


@pytest.mark.parametrize("fn, where, name", MODULE_ATTRS)
def test_a_module_subclass_takes_over_attribute_access(fn, where, name, fake):
    mod = owner(where, fake)
    run(fn)
    mod.__class__ = hooked(name)
    with pytest.raises(Hit):
        run(fn)
    mod.__class__ = types.ModuleType
    run(fn)


@pytest.mark.parametrize("fn, where, name", MODULE_ATTRS)
def test_a_module_getattr_is_asked_on_every_call(fn, where, name, fake):
    # Its values live in no dictionary: remembering one would keep a dead object.
    mod = owner(where, fake)
    real = vars(mod).pop(name)
    asked = []

    def module_getattr(attr):
        asked.append(attr)
        return lambda *args, **kwargs: real(*args, **kwargs)

    mod.__getattr__ = module_getattr
    run(fn)
    once = len(asked)
    run(fn)
    assert once and len(asked) == 2 * once


@pytest.mark.parametrize("fn, name", GLOBALS)
def test_a_global_found_in_builtins_is_looked_up_again(fn, name, monkeypatch):
    monkeypatch.setattr(builtins, name, getattr(loss, name), raising=False)
    monkeypatch.delattr(loss, name)
    run(fn)
    run(fn)
    monkeypatch.setattr(builtins, name, failing(name))
    with pytest.raises(Hit):
        run(fn)


@pytest.mark.parametrize("fn, name", GLOBALS)
def test_globals_are_read_from_the_dictionary_not_through_the_module(fn, name, monkeypatch):
    # As for any function's globals: the module's own class is not consulted.
    monkeypatch.setattr(loss, "__class__", hooked(name))
    run(fn)


def test_a_replaced_torch_module_object_is_used(fake, monkeypatch):
    run("guassian_kernel_mmd")
    other = fake_torch()
    other.exp = boom
    monkeypatch.setattr(loss, "torch", other)
    with pytest.raises(Hit):
        run("guassian_kernel_mmd")


def test_a_freed_dictionary_never_matches_its_successor(monkeypatch):
    # Dictionaries are recycled through a free list: the next module's
    # dictionary often takes the freed one's address.
    for _ in range(50):
        monkeypatch.setattr(loss, "torch", fake_torch())
        run("guassian_kernel_mmd")
        other = fake_torch()
        other.exp = boom
        monkeypatch.setattr(loss, "torch", other)  # frees the first one
        with pytest.raises(Hit):
            run("guassian_kernel_mmd")

