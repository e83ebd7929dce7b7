"""APIClient behaves like the Python class it stands for: bound methods,
signatures, help, copies and the protocol names."""

import copy
import inspect
import pickle
import pydoc

import pytest

from shared.citizens import assert_python_method, declared_signature
from zentaro.utils.exception import APIException

METHODS = [
    "login",
    "logout",
    "_get_token",
    "_compose_url",
    "_handle_response",
    "_request",
    "__getattr__",
]

# Each shows the parameters its kit function declares (the build's signature text).
SIGNED = ["APIClient", *METHODS]


@pytest.mark.parametrize("name", METHODS)
def test_bound_methods_are_python_methods(rpc, name):
    client = rpc.APIClient()
    method = assert_python_method(client, name)
    assert method != getattr(rpc.APIClient(), name)
    assert method.__doc__


@pytest.mark.parametrize("name", SIGNED)
def test_signatures(rpc, name):
    target = rpc.APIClient if name == "APIClient" else getattr(rpc.kl_api, name)
    assert str(inspect.signature(target)) == declared_signature(target)


def test_a_service_is_a_callable_with_a_signature(rpc):
    params = inspect.signature(rpc.kl_api.get_fundamentals).parameters
    assert params["_path"].default == "api/sdk_get_fundamentals"
    assert params["_timeout"].default == 60
    assert params["kwargs"].kind is inspect.Parameter.VAR_KEYWORD


def test_protocol_names_are_attribute_errors(rpc):
    client = rpc.kl_api
    assert not hasattr(client, "__wrapped__")
    with pytest.raises(AttributeError, match="'APIClient' object has no attribute '__foo__'"):
        client.__foo__
    with pytest.raises(APIException, match=r"^该方法\(_private\)暂不支持.$"):
        client._private
    twin = copy.copy(client)
    assert vars(twin) == vars(client) and twin is not client
    assert vars(pickle.loads(pickle.dumps(client))) == vars(client)
    assert vars(copy.deepcopy(client)) == vars(client)


@pytest.mark.parametrize("which", ["class", "instance"])
def test_help_renders(rpc, which):
    text = pydoc.render_doc(
        rpc.APIClient if which == "class" else rpc.kl_api, renderer=pydoc.plaintext
    )
    assert "login(self, username, password)" in text and "Log in" in text
