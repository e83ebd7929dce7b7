"""Broker directory XML, site JSON and gateway login answers as a broken or
hostile server may send them: the gateway client answers like plain Python
(the same value or the same exception), and a failed login leaves the
session keys as they were."""

import xml.etree.ElementTree as ET

import pytest
from hypothesis import HealthCheck, given
from hypothesis import strategies as st

from shared.fuzz import edit_lists, fuzz_settings, mutate
from zentaro.mod.tradeapi.sdk.client import GatewayMeta
from zentaro.support import platform_data
from zentaro.support.broker_directory import DEFAULT_BROKERS, directory_xml

# Every example sets the attributes it needs through the monkeypatch fixture.
FUZZ = fuzz_settings(300, HealthCheck.function_scoped_fixture)


class Answer:
    def __init__(self, content=b"", value=None):
        self.content = content
        self.value = value

    def json(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class FakeRequests:
    """In-process stand-in for the module's `requests`: one canned answer."""

    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    def get(self, url, **kwargs):
        self.calls.append((url, kwargs))
        return self.answer


class FirstChoice:
    @staticmethod
    def choice(seq):
        return seq[0]


@pytest.fixture
def fakes(gl, monkeypatch):
    monkeypatch.setattr(gl.GatewayClient, "_qs_info", {})
    monkeypatch.setattr(gl, "random", FirstChoice)
    return monkeypatch


def outcome(fn):
    try:
        value = fn()
    except Exception as exc:
        return ("error", type(exc).__name__, str(exc))
    return ("value", value)


def reference_directory(content):
    root = ET.fromstring(content.decode("utf8"))
    return {child.attrib.get("qsname"): dict(child.attrib) for child in root}


def reference_sites(answer):
    if answer["code"] == 0 and answer["data"]:
        sites = []
        for group in answer["data"][0].values():
            if isinstance(group, list):
                sites += group
        return sites
    raise ValueError("该券商无可用站点!")


attr_names = st.sampled_from(["qsname", "qsid", "wtid", "area", "x-y", "_z"])
attr_values = st.text(st.characters(codec="utf-8"), max_size=8)
entries = st.lists(st.dictionaries(attr_names, attr_values, max_size=4), max_size=6)


edits = edit_lists(["set", "cut", "insert"], min_size=0, max_size=3, reach=4096)
directories = st.one_of(
    st.builds(mutate, entries.map(directory_xml), edits),
    st.binary(max_size=200),
    st.text(max_size=60).map(lambda t: t.encode("utf-8")),
    st.builds(lambda inner: b"<r>" + inner + b"</r>", st.binary(max_size=40)),
)


@FUZZ
@given(content=directories)
def test_directory_documents_parse_or_fail_like_python(gl, fakes, content):
    fakes.setattr(gl.GatewayClient, "_qs_info", {})
    fakes.setattr(gl, "requests", FakeRequests(Answer(content)))
    ours = outcome(gl.GatewayClient.get_qs_info)
    assert ours == outcome(lambda: reference_directory(content))
    if ours[0] == "error":
        assert gl.GatewayClient._qs_info == {}  # a failed download caches nothing


json_values = st.recursive(
    st.one_of(
        st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=5)
    ),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.dictionaries(st.text(max_size=4), inner, max_size=4)
    ),
    max_leaves=12,
)
sites = st.fixed_dictionaries(
    {"ip": json_values, "port": st.one_of(st.integers(), st.text(max_size=5), json_values)}
)
site_answers = st.one_of(
    json_values,
    st.fixed_dictionaries(
        {},
        optional={
            "code": st.one_of(st.just(0), json_values),
            "data": st.one_of(
                st.lists(
                    st.dictionaries(
                        st.text(max_size=4),
                        st.one_of(st.lists(sites, max_size=3), json_values),
                        max_size=4,
                    ),
                    max_size=2,
                ),
                json_values,
            ),
        },
    ),
)


@FUZZ
@given(answer=site_answers)
def test_site_answers_give_the_sites_or_fail_like_python(gl, fakes, answer):
    fakes.setattr(gl, "requests", FakeRequests(Answer(value=answer)))
    assert outcome(lambda: gl.GatewayClient.get_qs_site("1001")) == outcome(
        lambda: reference_sites(answer)
    )


@FUZZ
@given(answer=site_answers, broker=st.text(max_size=6))
def test_site_selection_fails_like_python(gl, fakes, answer, broker):
    directory = {b["qsname"]: dict(b) for b in DEFAULT_BROKERS}
    fakes.setattr(gl.GatewayClient, "_qs_info", directory)
    fakes.setattr(gl, "requests", FakeRequests(Answer(value=answer)))

    def reference():
        import difflib

        names = difflib.get_close_matches(broker, directory, 1, 0.1)
        if not names:
            raise ValueError(f"未匹配到支持的券商: {broker}")
        site = reference_sites(answer)[0]
        return directory[names[0]], {"ip": site["ip"], "port": int(site["port"])}

    assert outcome(lambda: gl.GatewayClient.select_site_auto(broker)) == outcome(reference)


class FakeSession:
    answer = None

    def __init__(self, **kwargs):
        self.kwargs = kwargs

    def protocol_comfirm(self):
        pass

    def protocol_auth(self):
        pass

    def client_auth(self, auth_code=None):
        self.auth_code = auth_code

    def client_login(self, user_id, name):
        pass

    def request_json(self, meta=None, args=None):
        return self.answer


class FakePlatform:
    grant = None

    def trade_api(self, **kwargs):
        return self.grant


investor_keys = st.one_of(
    st.integers(),
    st.integers(1000, 10**12),
    st.floats(allow_nan=False),
    st.text(max_size=4),
    st.none(),
    st.booleans(),
)
login_answers = st.one_of(
    json_values,
    st.tuples(
        st.builds(
            GatewayMeta,
            st.one_of(st.just(0), st.integers(-3, 3), st.none(), st.text(max_size=2)),
            st.one_of(st.binary(max_size=6), st.text(max_size=3)),
        ),
        st.one_of(
            st.fixed_dictionaries(
                {"login": st.fixed_dictionaries({"investor_key": investor_keys})}
            ),
            json_values,
        ),
    ),
    st.lists(json_values, max_size=3),
)


def grants(user_id, version):
    good = platform_data.futures_authorisation(user_id, version)
    return st.one_of(
        st.just(good),
        st.fixed_dictionaries(
            {},
            optional={
                "data": st.one_of(
                    st.just(good["data"]), json_values, st.text("0123456789ABCDEFG", max_size=12)
                ),
                "exp": st.one_of(st.just(good["exp"]), json_values),
            },
        ),
        json_values,
    )


DOCUMENTED = (ValueError, KeyError, TypeError, AttributeError, IndexError)


@FUZZ
@given(data=st.data(), answer=login_answers)
def test_login_answers_never_leave_half_set_keys(gl, fakes, data, answer):
    import zentaro

    fakes.setenv("ZENTARO_USER_ID", "10086")
    platform = FakePlatform()
    platform.grant = data.draw(grants("10086", zentaro.__version__))
    FakeSession.answer = answer
    fakes.setattr(gl, "kl_api", platform)
    fakes.setattr(gl, "GatewaySession", FakeSession)
    client = gl.GatewayClient("青岚期货", "880001", "futures-pass")
    client.select_site_auto = lambda broker: (
        dict(DEFAULT_BROKERS[0]),
        {"ip": "127.0.0.1", "port": 9},
    )
    before = (client._investor_key, client._channel_key, client._service_type)
    try:
        session = client._make_session()
    except DOCUMENTED:
        assert (client._investor_key, client._channel_key, client._service_type) == before
        return
    assert isinstance(session, FakeSession)
    key = client._investor_key
    assert client._channel_key == str(key // 100)
    assert client._service_type == 2 ** int(client._channel_key[1:3])


def entity_bomb(levels=9):
    decl = [b'<!ENTITY l0 "aaaaaaaaaa">']
    for i in range(1, levels + 1):
        decl.append(b'<!ENTITY l%d "%s">' % (i, b"".join(b"&l%d;" % (i - 1) for _ in range(10))))
    return (
        b'<?xml version="1.0"?><!DOCTYPE r ['
        + b"".join(decl)
        + b']><r><b qsname="&l%d;"/></r>' % levels
    )


@pytest.mark.parametrize(
    "content",
    [
        entity_bomb(),
        b'<?xml version="1.0"?><!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/passwd">]><r><b qsname="&x;"/></r>',
        b'<?xml version="1.0"?><!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/passwd">]><r><b qsname="a">&x;</b></r>',
    ],
    ids=["entity-expansion", "external-entity-in-attribute", "external-entity-in-text"],
)
def test_hostile_directories_neither_expand_nor_read_files(gl, fakes, content):
    fakes.setattr(gl, "requests", FakeRequests(Answer(content)))
    try:
        directory = gl.GatewayClient.get_qs_info()
    except ET.ParseError:
        assert gl.GatewayClient._qs_info == {}
        return
    assert "root:" not in repr(directory)  # an external entity is never fetched
