"""Every kit function refuses a wrong call with the TypeError a def with the
same signature gives: same checks, same order, same text."""

import importlib
import inspect
import itertools

import pytest

from shared.modules import KIT_MODULES

MODULES = KIT_MODULES


def is_kit_function(obj):
    return type(obj).__module__ == "zentaro" and type(obj).__name__ == "function"


def kit_functions():
    found = {}
    for name in MODULES:
        module = importlib.import_module(name)
        for value in list(vars(module).values()):
            members = [value]
            if isinstance(value, type) and value.__module__ == name:
                members += [
                    getattr(m, "fget", None) or getattr(m, "__func__", m)
                    for m in vars(value).values()
                ]
            for fn in members:
                if is_kit_function(fn):
                    found[f"{name.rsplit('.', 1)[1]}.{fn.__qualname__}"] = fn
    return found


KIT = kit_functions()


def own_signature(fn):
    # A decorator's wrapper binds by its own parameters, not the wrapped ones.
    return inspect.signature(fn, follow_wrapped=False)


def plain_twin(fn):
    """A def with the kit function's signature and qualified name."""
    namespace = {}
    exec(f"def {fn.__name__}{own_signature(fn)}: pass", namespace)
    twin = namespace[fn.__name__]
    twin.__qualname__ = fn.__qualname__
    return twin


def calls(signature):
    """Positional counts around the signature's, each with no keyword, one
    parameter's name, an unknown name, or both."""
    params = list(signature.parameters.values())
    named = [p.name for p in params if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    keyword_sets = [{}, {"zz_unknown": 0}] + [{n: 0} for n in named]
    keyword_sets += [{n: 0, "zz_unknown": 0} for n in named]
    keyword_sets += [{a: 0, b: 0} for a, b in itertools.combinations(named, 2)]
    for count in range(len(named) + 3):
        for keywords in keyword_sets:
            yield (0,) * count, keywords


@pytest.mark.parametrize("name", sorted(KIT))
def test_wrong_calls_fail_as_a_def_would(name):
    fn = KIT[name]
    twin = plain_twin(fn)
    compared = 0
    for args, kwargs in calls(own_signature(fn)):
        try:
            twin(*args, **kwargs)
        except TypeError as exc:
            expected = str(exc)
        else:
            continue  # a valid call: the kit function would run
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert str(info.value) == expected, (args, kwargs)
        compared += 1
    params = own_signature(fn).parameters.values()
    assert compared or all(p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in params)
