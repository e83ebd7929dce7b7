"""DeferredImport as a Python object (weak references, copies, signature,
help) and against code that runs inside its lookups and drops what the proxy
is working on."""

import copy
import inspect
import pickle
import pydoc
import subprocess
import sys
import textwrap
import weakref

import pytest

from shared.citizens import declared_signature
from zentaro.mod.kelvo.utils.deferred_import import DeferredImport


@pytest.fixture(autouse=True)
def fresh_cache():
    saved = dict(DeferredImport.IMPORTED_MODULE)
    yield
    DeferredImport.IMPORTED_MODULE.clear()
    DeferredImport.IMPORTED_MODULE.update(saved)


def run(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


def test_weak_reference_follows_the_proxy():
    proxy = DeferredImport("json")
    ref = weakref.ref(proxy)
    assert ref() is proxy
    del proxy
    assert ref() is None


@pytest.mark.parametrize(
    "duplicate",
    [copy.copy, copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))],
    ids=["copy", "deepcopy", "pickle"],
)
def test_copies_carry_the_instance_dict(duplicate):
    proxy = DeferredImport("json")
    proxy.note = ["kept"]
    twin = duplicate(proxy)
    assert type(twin) is DeferredImport and twin is not proxy
    assert twin.__dict__ == {"module_path": "json", "note": ["kept"]}
    assert (twin.note is proxy.note) == (duplicate is copy.copy)
    assert twin.dumps([1]) == "[1]"


def test_signature_docs_and_help():
    assert str(inspect.signature(DeferredImport)) == declared_signature(DeferredImport)
    assert list(inspect.signature(DeferredImport("json").__getattr__).parameters) == ["func_name"]
    assert DeferredImport.__doc__ and DeferredImport.module.__doc__
    for obj in (DeferredImport, DeferredImport("json")):
        assert "DeferredImport" in pydoc.render_doc(obj)


def test_none_as_path_fails_at_first_use_like_python():
    proxy = DeferredImport(None)
    with pytest.raises(AttributeError, match="split"):
        proxy.module


def test_name_whose_hash_drops_the_module_is_served_safely():
    # The name's __hash__ drops the resolved module at its n-th call, in the
    # middle of the proxy's lookups, and fills the freed memory with others.
    out = run(
        """
        import sys, types
        from zentaro.mod.kelvo.utils.deferred_import import DeferredImport

        def trial(n):
            sys.modules["uaf_target_zx"] = target = types.ModuleType("uaf_target_zx")
            target.value = "first"
            del target
            proxy = DeferredImport("uaf_target_zx")
            assert proxy.value == "first"
            calls, junk = [], []

            class Dropping(str):
                def __hash__(self):
                    calls.append(1)
                    if len(calls) == n:
                        DeferredImport.IMPORTED_MODULE.clear()
                        sys.modules.pop("uaf_target_zx", None)
                        junk.extend({str(i): types.ModuleType(str(i))} for i in range(300))
                    return str.__hash__(self)

            try:
                return getattr(proxy, Dropping("value"))
            except ModuleNotFoundError:
                return "gone"

        print(sorted({trial(n) for n in range(1, 6)}))
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() in ("['first', 'gone']", "['gone']", "['first']")


def test_import_hook_that_empties_the_split_list():
    out = run(
        """
        import builtins, os
        from zentaro.mod.kelvo.utils.deferred_import import DeferredImport

        pieces = []

        class Path(str):
            def split(self, sep):
                pieces[:] = str.split(self, sep) + ["x" * 40 for _ in range(50)]
                return pieces

        real = builtins.__import__

        def hook(name, *args, **kwargs):
            pieces.clear()
            return real(name, *args, **kwargs)

        builtins.__import__ = hook
        for _ in range(5):
            DeferredImport.IMPORTED_MODULE.clear()
            # As Python evaluates names[1:] after the import: nothing is left.
            assert DeferredImport(Path("os.path.join")).module is os
        print("ok")
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
