"""Every class, method, property and function of every module called with
arguments of the wrong number and the wrong types, on instances and on the
class: any ordinary exception is fine, a crash or a SystemError is not. Runs in
a child interpreter, so that a crash shows as its exit status."""

import textwrap

import pytest

PROBE = textwrap.dedent("""
    import importlib, inspect, sys, types

    MODULES = [
        "zentaro.mod.kelvo.utils.platform_rpc", "zentaro.mod.kelvo.utils.deferred_import",
        "zentaro.mod.tradeapi.sdk.gateway_link", "zentaro.mod.kelvo.research.normal_query.query_text",
        "zentaro.mod.kelvo.utils.recorder", "zentaro.mod.kelvo.stream_sink", "zentaro.mod.kelvo.mod",
        "zentaro.mod.tradeapi.api.broker_desk", "zentaro.mod.kelvo.data.side_store",
        "zentaro.mod.kelvo.modules.zrcelery_utils.paper_book",
    ]
    ARGS = [(), (None,), (0,), (-1,), ("",), ("x.y",), (b"\\xff",), ([],), ({},), (object(),), (None, None),
            ("a", 1, None), ("青岚期货", "880001", "pw"), ("CN", "1d", "p", 5, "/nonexistent"), tuple(range(7))]
    KWARGS = [{}, {"unexpected": 1}]
    calls = bad = 0

    def attempt(fn, *args, **kwargs):
        global calls, bad
        calls += 1
        try:
            fn(*args, **kwargs)
        except SystemError as exc:
            bad += 1
            print("SystemError from", fn, args, kwargs, exc, file=sys.stderr)
        except BaseException as exc:
            if not isinstance(exc, Exception):
                raise

    def members(owner):
        for name in sorted(vars(owner)):
            if name in ("__class__", "__init_subclass__", "__subclasshook__", "__new__"):
                continue
            yield name, vars(owner)[name]

    for module_name in MODULES:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        for name, value in members(module):
            if isinstance(value, type) and value.__module__ == module_name:
                instances = []
                for args in ARGS:
                    try:
                        instances.append(value(*args))
                    except Exception:
                        pass
                    calls += 1
                for attr, member in members(value):
                    target = getattr(member, "__func__", member)
                    if isinstance(member, property):
                        for obj in instances + [None, 5]:
                            attempt(member.__get__, obj, value)
                        continue
                    if not callable(target):
                        continue
                    for args in ARGS:
                        for kwargs in KWARGS:
                            attempt(target, *args, **kwargs)
                            for obj in instances[:3]:
                                attempt(getattr(obj, attr) if not attr.startswith("__") else target, obj,
                                        *args, **kwargs)
                # The same calls on objects stripped of their attributes one at a time: every
                # lookup of a missing attribute must raise, wherever it happens.
                methods = [a for a, m in members(value) if callable(getattr(m, "__func__", m))
                           and a not in ("__init__", "__del__", "__getattr__")]
                for obj in instances[:2]:
                    for attr in list(getattr(obj, "__dict__", {})):
                        try:
                            delattr(obj, attr)
                        except Exception:
                            continue
                        for method in methods:
                            for args in ARGS[:4] + [(None, None, None)]:
                                attempt(lambda: getattr(obj, method)(*args))
                        for prop in [a for a, m in members(value) if isinstance(m, property)]:
                            attempt(getattr, obj, prop)
                for obj in instances[:3]:
                    for attr in ("missing", "__missing__", "module", ""):
                        attempt(getattr, obj, attr)
                    attempt(str, obj)
                    attempt(repr, obj)
                    attempt(obj)
            elif callable(value) and getattr(value, "__module__", None) == module_name:
                for args in ARGS:
                    for kwargs in KWARGS:
                        attempt(value, *args, **kwargs)
    print(calls, bad)
""")


def test_no_call_with_wrong_arguments_crashes(run_child, tmp_path):
    child = run_child(
        PROBE,
        timeout=240,
        ZENTARO_URL="http://127.0.0.1:9/sdk/",
        ZENTARO_GATEWAY_DIRECTORY_URL="http://127.0.0.1:9",
        ZENTARO_USER_ID="10086",
        ZENTARO_ROOT=str(tmp_path / "root"),
        ZENTARO_INFO=str(tmp_path / "info"),
        NO_PROXY="127.0.0.1",
        # Some failing calls of output_profile leave its scratch folder behind
        # (a C++ error skips the folder's __exit__): keep them below tmp_path.
        TMPDIR=str(tmp_path),
    )
    assert child.returncode == 0, child.stderr[-3000:]
    calls, bad = map(int, child.stdout.split()[-2:])
    assert bad == 0, child.stderr[-3000:]
    assert calls > 5000
    print(f"{calls} calls with wrong arguments")


ABORTS = {
    "side store entered without a path": textwrap.dedent("""
        from zentaro.mod.kelvo.data.side_store import SideStore
        store = SideStore()
        del store.path
        try:
            store.__enter__()
        except AttributeError:
            print("raised")
    """),
    "error answer to a client without an encoding": textwrap.dedent("""
        import types
        from zentaro.mod.kelvo.utils.platform_rpc import APIClient
        from zentaro.utils.exception import APIException
        client = APIClient(base_url="http://127.0.0.1:9/sdk/")
        del client.encoding
        try:
            client._handle_response(types.SimpleNamespace(status_code=500, content=b"down"))
        except APIException:
            print("raised")
    """),
}


@pytest.mark.parametrize("name", sorted(ABORTS))
def test_a_failed_lookup_inside_a_call_raises_instead_of_aborting(run_child, tmp_path, name):
    # Both used to end the process (std::terminate): an attribute accessor was
    # handed straight to a call, and read where no exception may leave.
    child = run_child(
        ABORTS[name], ZENTARO_ROOT=str(tmp_path / "root"), ZENTARO_INFO=str(tmp_path / "info")
    )
    assert child.returncode == 0 and child.stdout.strip() == "raised", child.stderr
