import builtins
import os
import subprocess
import sys
import textwrap

import pytest

from zentaro.mod.kelvo.utils.deferred_import import DeferredImport


@pytest.fixture(autouse=True)
def fresh_cache():
    saved = dict(DeferredImport.IMPORTED_MODULE)
    DeferredImport.IMPORTED_MODULE.clear()
    yield
    DeferredImport.IMPORTED_MODULE.clear()
    DeferredImport.IMPORTED_MODULE.update(saved)


@pytest.fixture
def count_imports(monkeypatch):
    calls = []
    real = builtins.__import__

    def counting(name, *args, **kwargs):
        calls.append(name)
        return real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", counting)
    return calls


def test_construction_imports_nothing(count_imports):
    proxy = DeferredImport("no_such_module_zx")
    assert proxy.module_path == "no_such_module_zx"
    assert "no_such_module_zx" not in count_imports
    assert DeferredImport.IMPORTED_MODULE == {}


@pytest.mark.parametrize(
    "use", [lambda p: p.module, lambda p: p.anything, lambda p: p(), lambda p: p.__getattr__("x")]
)
def test_missing_top_level_fails_at_first_use(use):
    proxy = DeferredImport(module_path="no_such_module_zx")
    with pytest.raises(ModuleNotFoundError):
        use(proxy)
    assert "no_such_module_zx" not in DeferredImport.IMPORTED_MODULE


def test_forwarding_and_calling_dotted_paths():
    assert DeferredImport("os.path").join("a", "b") == os.path.join("a", "b")
    assert DeferredImport("os.path.join")("a", "b") == os.path.join("a", "b")
    assert DeferredImport("os.path").module is os.path
    assert DeferredImport.IMPORTED_MODULE["os.path.join"] is os.path.join


def test_keyword_arguments_reach_the_target():
    dumps = DeferredImport("json.dumps")
    assert dumps({"b": 1, "a": 2}, sort_keys=True) == '{"a": 2, "b": 1}'


def test_cached_path_is_not_imported_again(count_imports):
    DeferredImport("json").dumps(1)
    count_imports.clear()
    assert DeferredImport("json").loads("[1]") == [1]
    assert "json" not in count_imports


def test_only_the_first_component_is_imported(count_imports):
    DeferredImport("os.path.join").module
    assert "os" in count_imports
    assert not {"os.path", "os.path.join", "posixpath"} & set(count_imports)


@pytest.mark.parametrize(
    ("path", "error"),
    [
        ("", ValueError),
        ("os..path", AttributeError),
        ("os.path.", AttributeError),
        ("os.no_such_attribute", AttributeError),
        (42, AttributeError),  # the path's own split() is what fails
    ],
)
def test_bad_paths_fail_and_store_nothing(path, error):
    with pytest.raises(error):
        DeferredImport(path).module
    assert DeferredImport.IMPORTED_MODULE == {}


def test_unloaded_submodule_is_an_attribute_error():
    code = textwrap.dedent(
        """
        import sys
        sys.modules.pop("xml.dom", None)
        from zentaro.mod.kelvo.utils.deferred_import import DeferredImport
        try:
            DeferredImport("xml.dom").module
        except AttributeError:
            print("attribute-error")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "attribute-error"


def test_failed_resolution_is_retried(tmp_path, monkeypatch):
    proxy = DeferredImport("late_module_zx.value")
    with pytest.raises(ModuleNotFoundError):
        proxy.module
    (tmp_path / "late_module_zx.py").write_text("value = 7\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert proxy.module == 7
    sys.modules.pop("late_module_zx", None)


def test_errors_of_the_target_pass_unchanged():
    with pytest.raises(ZeroDivisionError):
        DeferredImport("operator.truediv")(1, 0)
    with pytest.raises(AttributeError, match="no_such"):
        DeferredImport("math").no_such


def test_own_attributes_are_answered_by_the_proxy(count_imports):
    proxy = DeferredImport("no_such_module_zx")
    proxy.note = "kept"
    assert proxy.note == "kept"
    assert proxy.__class__ is DeferredImport
    assert isinstance(proxy.IMPORTED_MODULE, dict)
    assert "module_path" in proxy.__dict__
    assert "no_such_module_zx" not in count_imports


def test_subclass_shares_the_base_cache_and_keeps_own_members():
    class Named(DeferredImport):
        IMPORTED_MODULE = {}  # must not become the cache

        def __init__(self, path, label):
            super().__init__(path)
            self.label = label

        def describe(self):
            return f"{self.label}:{self.module_path}"

    proxy = Named("json", "codec")
    assert proxy.describe() == "codec:json"
    assert proxy.dumps([1]) == "[1]"
    assert "json" in DeferredImport.IMPORTED_MODULE
    assert Named.IMPORTED_MODULE == {}


def test_replaced_cache_is_followed(monkeypatch):
    sentinel = object()
    monkeypatch.setattr(DeferredImport, "IMPORTED_MODULE", {"anything.at.all": sentinel})
    assert DeferredImport("anything.at.all").module is sentinel


def test_missing_module_path_is_a_plain_attribute_error():
    proxy = DeferredImport("json")
    del proxy.module_path
    with pytest.raises(AttributeError, match="module_path"):
        proxy.dumps


def test_module_is_read_only():
    proxy = DeferredImport("json")
    with pytest.raises(AttributeError):
        proxy.module = None


def test_memoised_reads_follow_changes():
    proxy = DeferredImport("json")
    assert proxy.dumps is __import__("json").dumps
    DeferredImport.IMPORTED_MODULE["json"] = __import__("math")
    assert proxy.pi == __import__("math").pi
    proxy.module_path = "os.path"
    assert proxy.sep == "/"
    getattr(proxy, "module" + "_path")  # not interned: still the proxy's own entry
    assert getattr(proxy, "module" + "_path") == "os.path"
    proxy.extra = 1
    assert proxy.extra == 1


def test_repeated_reads_follow_the_module_and_the_proxy():
    import types

    target = types.ModuleType("memo_target_zx")
    target.value = 1
    sys.modules["memo_target_zx"] = target
    try:
        proxy = DeferredImport("memo_target_zx")
        assert [proxy.value, proxy.value] == [1, 1]
        target.value = 2
        assert proxy.value == 2
        proxy.value = "own"  # the proxy's own entry takes precedence
        assert proxy.value == "own"
        del proxy.value
        assert proxy.value == 2
        del target.value
        with pytest.raises(AttributeError):
            proxy.value
        target.__getattr__ = lambda name: f"dynamic {name}"
        assert proxy.value == "dynamic value"
    finally:
        sys.modules.pop("memo_target_zx", None)


def test_reads_of_one_name_follow_each_change_of_its_value():
    # A name read over and over is answered from a memo; a new value in the
    # module must still be seen on the very next read, whatever came before.
    import types

    target = types.ModuleType("memo_value_zx")
    sys.modules["memo_value_zx"] = target
    values = [object() for _ in range(4)]  # kept alive: a stale answer is still an object
    try:
        proxy = DeferredImport("memo_value_zx")
        seen = []
        for value in values:
            target.value = value
            seen.append([proxy.value is value for _ in range(3)])
        assert seen == [[True] * 3] * len(values)
        del target.value
        with pytest.raises(AttributeError):
            proxy.value
    finally:
        sys.modules.pop("memo_value_zx", None)
