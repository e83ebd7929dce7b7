"""DeferredImport paths and sequences of uses: the proxy behaves like the plain
Python class it stands for, whatever the path and whatever is changed between
two reads (its caches must never serve a stale object)."""

import sys
import types

import pytest
from hypothesis import HealthCheck, example, given
from hypothesis import strategies as st

from shared.fuzz import fuzz_settings
from zentaro.mod.kelvo.utils.deferred_import import DeferredImport

FUZZ = fuzz_settings(300, HealthCheck.function_scoped_fixture)

# Top-level names are real, harmless modules or names that cannot exist: a
# random name could import a module with side effects.
TOPS = ["os", "json", "math", "string", "collections", "xml", "zz_fuzz_missing_module"]
ATTRS = [
    "path",
    "join",
    "sep",
    "dumps",
    "loads",
    "pi",
    "sqrt",
    "digits",
    "abc",
    "dom",
    "__name__",
    "__class__",
    "__dict__",
    "module",
    "module_path",
    "IMPORTED_MODULE",
    "",
]
pieces = st.one_of(st.sampled_from(ATTRS), st.text(st.characters(codec=None), max_size=6))
# Names read from the proxy: its own dunder attributes belong to its class,
# which differs from the reference class by nature.
read_names = pieces.filter(lambda name: not name.startswith("__"))
paths = st.one_of(
    st.builds(
        lambda top, rest: ".".join([top] + rest),
        st.sampled_from(TOPS),
        st.lists(pieces, max_size=3),
    ),
    st.sampled_from(["", ".", "os.", ".os", "os..path", "zz_fuzz\x00x", "os.path.join.__name__"]),
)


class Reference:
    """The plain Python form of DeferredImport, sharing nothing with it."""

    IMPORTED_MODULE = {}

    def __init__(self, module_path):
        self.module_path = module_path

    @property
    def module(self):
        cache = Reference.IMPORTED_MODULE
        if self.module_path in cache:
            return cache[self.module_path]
        names = self.module_path.split(".")
        obj = __import__(names[0])
        for name in names[1:]:
            obj = getattr(obj, name)
        cache[self.module_path] = obj
        return obj

    def __getattr__(self, func_name):
        # Python would come here again when the property fails with
        # AttributeError, and recurse; the module reports that error instead.
        if func_name == "module":
            return Reference.module.fget(self)
        return getattr(self.module, func_name)

    def __call__(self, *args, **kwargs):
        return self.module(*args, **kwargs)


def outcome(fn):
    try:
        return ("value", fn())
    except Exception as exc:
        return ("error", type(exc).__name__, str(exc).replace("Reference", "DeferredImport"))


def same(ours, theirs):
    """Equal outcomes: the same error, or values that are one object or alike.
    Some reads make a new object each time (a bound method, a class's
    __dict__), so the two sides may hold equal objects that are not one."""
    if ours[0] == "error" or theirs[0] == "error":
        return ours == theirs
    a, b = ours[1], theirs[1]
    if a is b or {id(a), id(b)} == {
        id(DeferredImport.IMPORTED_MODULE),
        id(Reference.IMPORTED_MODULE),
    }:
        return True
    if type(a) is not type(b):
        return False
    owner = getattr(a, "__self__", None)
    if owner is not None:
        # Bound to objects that may themselves be made afresh at every read
        # (os.__eq__.__eq__ binds a new method-wrapper each time).
        other = getattr(b, "__self__", None)
        return same(("value", owner), ("value", other)) and getattr(a, "__name__", 0) == getattr(
            b, "__name__", 1
        )
    try:
        return bool(a == b)
    except Exception:
        return False


@pytest.fixture(autouse=True)
def own_caches():
    original = DeferredImport.IMPORTED_MODULE
    saved = dict(original)
    yield
    DeferredImport.IMPORTED_MODULE = original  # a test may have put a new dict in its place
    original.clear()
    original.update(saved)
    Reference.IMPORTED_MODULE.clear()


def fresh():
    DeferredImport.IMPORTED_MODULE.clear()
    Reference.IMPORTED_MODULE.clear()


@FUZZ
@given(path=paths, name=read_names)
@example(path="os.sep", name="join")  # a bound method: a new object at every read
@example(path="os.__class__.__dict__", name="path")  # a new mapping proxy at every read
@example(path="os.__eq__.__eq__", name="path")  # bound to a new method-wrapper at every read
def test_any_path_resolves_or_fails_like_python(path, name):
    fresh()
    ours, theirs = DeferredImport(path), Reference(path)
    for _ in range(2):  # the second round runs on the caches the first one filled
        assert same(outcome(lambda: ours.module), outcome(lambda: theirs.module))
        assert same(outcome(lambda: getattr(ours, name)), outcome(lambda: getattr(theirs, name)))
        assert set(DeferredImport.IMPORTED_MODULE) == set(Reference.IMPORTED_MODULE)


@FUZZ
@given(
    path=st.one_of(st.none(), st.integers(), st.binary(max_size=6), st.lists(st.text(max_size=3)))
)
def test_a_path_that_is_not_text_fails_at_first_use_like_python(path):
    fresh()
    ours, theirs = DeferredImport(path), Reference(path)
    assert same(outcome(lambda: ours.module), outcome(lambda: theirs.module))
    assert same(outcome(lambda: ours.anything), outcome(lambda: theirs.anything))


def stand_in(tag):
    return types.SimpleNamespace(join=tag, sep=tag, pi=tag, __call__=None)


actions = st.lists(
    st.one_of(
        st.tuples(
            st.just("read"),
            st.sampled_from(["join", "sep", "pi", "dumps", "module", "module_path", "nope"]),
        ),
        st.tuples(
            st.just("path"),
            st.sampled_from(
                ["os.path", "math", "json", "zz_fuzz_missing_module", "zz_fuzz_target_module"]
            ),
        ),
        st.tuples(st.just("put"), st.sampled_from(["os.path", "math", "json"]), st.integers(0, 3)),
        st.tuples(st.just("forget"), st.sampled_from(["os.path", "math", "json"])),
        st.tuples(st.just("clear")),
        st.tuples(st.just("new cache")),
        st.tuples(
            st.just("own attr"), st.sampled_from(["join", "sep", "extra"]), st.integers(0, 3)
        ),
        st.tuples(st.just("drop attr"), st.sampled_from(["join", "sep", "extra"])),
        st.tuples(
            st.just("module attr"), st.sampled_from(["join", "sep", "pi"]), st.integers(0, 4)
        ),
        st.tuples(st.just("module dict"), st.integers(0, 3)),
    ),
    max_size=25,
)
TARGET = "zz_fuzz_target_module"


@pytest.fixture
def target_module():
    """A module of the test's own, whose attributes the steps change."""
    module = types.ModuleType(TARGET)
    module.join, module.sep = "j", "s"
    sys.modules[TARGET] = module
    yield module
    sys.modules.pop(TARGET, None)


@FUZZ
@given(steps=actions)
def test_no_change_between_reads_leaves_a_stale_answer(target_module, steps):
    fresh()
    ours, theirs = DeferredImport("os.path"), Reference("os.path")
    tags = [object() for _ in range(4)]
    for name in ("join", "sep", "pi"):
        target_module.__dict__.pop(name, None)
    target_module.join, target_module.sep = "j", "s"
    for step in steps:
        kind = step[0]
        if kind == "module attr":
            if step[2] == 4:
                target_module.__dict__.pop(step[1], None)
            else:
                setattr(target_module, step[1], tags[step[2]])
            continue
        if kind == "module dict":  # many entries at once: the dict grows and is rebuilt
            target_module.__dict__.update({f"filler{i}_{step[1]}": i for i in range(20)})
            continue
        if kind == "read":
            name = step[1]
            assert same(
                outcome(lambda n=name: getattr(ours, n)), outcome(lambda n=name: getattr(theirs, n))
            ), steps
        elif kind == "path":
            ours.module_path = theirs.module_path = step[1]
        elif kind == "put":
            DeferredImport.IMPORTED_MODULE[step[1]] = Reference.IMPORTED_MODULE[step[1]] = stand_in(
                tags[step[2]]
            )
        elif kind == "forget":
            DeferredImport.IMPORTED_MODULE.pop(step[1], None)
            Reference.IMPORTED_MODULE.pop(step[1], None)
        elif kind == "clear":
            fresh()
        elif kind == "new cache":
            # A new dict in place of the class table: the module must read the new one.
            DeferredImport.IMPORTED_MODULE = dict(DeferredImport.IMPORTED_MODULE)
        elif kind == "own attr":
            setattr(ours, step[1], tags[step[2]])
            setattr(theirs, step[1], tags[step[2]])
        else:
            for proxy in (ours, theirs):
                proxy.__dict__.pop(step[1], None)


def test_none_as_path_is_accepted_and_fails_at_first_use():
    # The constructor used to refuse None with nanobind's own signature error,
    # before any use; like any other object, it is stored and fails when used.
    proxy = DeferredImport(None)
    assert proxy.module_path is None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'split'"):
        proxy.module
