"""GatewayClient behaves like the Python class it stands for: bound methods,
class methods, signatures and help."""

import inspect
import pydoc
import re

import pytest

from shared.citizens import assert_python_method, declared_signature

METHODS = [
    "get_qs_info",
    "get_qs_site",
    "select_site_auto",
    "get_system_info",
    "_make_session",
    "make_return",
    "call_rpc",
]

# Each shows the parameters its kit function declares (the build's signature text).
SIGNED = ["GatewayClient", *METHODS]


@pytest.fixture
def client(gl, platform):
    return gl.GatewayClient("青岚期货", "880001", "futures-pass")


@pytest.mark.parametrize("name", METHODS)
def test_bound_methods_are_python_methods(gl, client, name):
    method = assert_python_method(client, name)
    assert method.__doc__
    if isinstance(vars(gl.GatewayClient)[name], classmethod):
        assert method.__self__ is gl.GatewayClient
        assert getattr(gl.GatewayClient, name) == method


@pytest.mark.parametrize("name", SIGNED)
def test_signatures(gl, client, name):
    target = gl.GatewayClient if name == "GatewayClient" else getattr(client, name)
    assert str(inspect.signature(target)) == declared_signature(target)


@pytest.mark.parametrize("which", ["class", "instance"])
def test_help_renders(gl, client, which):
    target = gl.GatewayClient if which == "class" else client
    text = pydoc.render_doc(target, renderer=pydoc.plaintext)
    # 3.13's pydoc puts each parameter of a long signature on a line of its own.
    text = re.sub(r"([(,])\n[ |]*", r"\1 ", text).replace("( ", "(")
    assert "call_rpc(self, method_name, args={}" in text and "get_qs_site(qsid)" in text
