"""Answer decoding: the three layers, their failures, and the in-place fast
path agreeing with the plain Python steps on every outer pickle form."""

import pickle
import random
import zlib
from types import SimpleNamespace

import msgpack
import numpy as np
import pandas as pd
import pytest

from shared.platform import Response, plain_decode
from zentaro.support.platform_server import encode_answer
from zentaro.utils.exception import APIException

FRAME = pd.DataFrame({"code": ["600000.XSHG", "000001.XSHE"], "pe": [7.5, np.nan]})
VALUES = [
    {"a": [1, 2.5, None], "s": "文本", "b": b"\x00\x01"},
    list(range(1000)),
    "x" * 70000,  # past one pickle frame
    pd.Timestamp("2024-01-02"),
]


@pytest.mark.parametrize(
    "value", VALUES + [FRAME], ids=["dict", "list", "long", "timestamp", "frame"]
)
@pytest.mark.parametrize("protocol", range(0, pickle.HIGHEST_PROTOCOL + 1))
def test_every_outer_pickle_form_decodes_like_plain_python(rpc, value, protocol):
    try:
        payload = msgpack.packb(value)
    except TypeError:
        payload = pickle.dumps(value)
    content = pickle.dumps(zlib.compress(payload), protocol=protocol)
    got = rpc.kl_api._handle_response(Response(content))
    expected = plain_decode(content)
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(got, expected)
    else:
        assert got == expected and type(got) is type(expected)


def test_msgpack_text_and_binary(rpc):
    got = rpc.kl_api._handle_response(Response(encode_answer({"t": "中文", "b": b"raw"})))
    assert got == {"t": "中文", "b": b"raw"}


@pytest.mark.parametrize(
    "content",
    [
        pickle.dumps(zlib.compress(b"abc")) + b"trailing bytes",
        pickle.dumps(bytearray(zlib.compress(msgpack.packb([1])))),
        pickle.dumps(zlib.compress(pickle.dumps([1, 2], protocol=1))),
        pickle.dumps(zlib.compress(msgpack.packb(1) + b"\x80")),  # extra data: not MessagePack
        pickle.dumps(zlib.compress(b"\x80")),  # one byte: MessagePack's empty map
        pickle.dumps(zlib.compress(b"")),
        pickle.dumps(zlib.compress(msgpack.packb(b"\0" * 300000))),  # tiny body, large payload
        pickle.dumps(zlib.compress(msgpack.packb("abc")) + b"after the stream"),
        pickle.dumps(zlib.compress(msgpack.packb("abc"), wbits=31)),  # gzip, not zlib
    ],
)
def test_unusual_bodies_match_plain_python(rpc, content):
    try:
        expected = plain_decode(content)
    except Exception as exc:
        with pytest.raises(type(exc)):
            rpc.kl_api._handle_response(Response(content))
    else:
        assert rpc.kl_api._handle_response(Response(content)) == expected


@pytest.mark.parametrize(
    "content, error",
    [
        (b"", EOFError),
        (b"\x00garbage", pickle.UnpicklingError),
        (pickle.dumps(b"not a zlib stream"), zlib.error),
        (pickle.dumps(zlib.compress(b"x" * 100)[:-6]), zlib.error),
        (pickle.dumps("text, not bytes"), TypeError),
        (pickle.dumps(zlib.compress(b"\xc1\xc1 neither")), pickle.UnpicklingError),
    ],
)
def test_decoding_failures_reach_the_caller(rpc, content, error):
    with pytest.raises(error):
        rpc.kl_api._handle_response(Response(content))


@pytest.mark.parametrize(
    "status, body, message",
    [
        (500, "服务器内部错误".encode(), "服务器内部错误"),
        (404, b"", ""),
        (201, encode_answer([1]), None),
    ],
)
def test_other_statuses_are_api_errors(rpc, status, body, message):
    with pytest.raises((APIException, UnicodeDecodeError)) as info:
        rpc.kl_api._handle_response(Response(body, status))
    if message is not None:
        assert info.value.args == (message,)


def test_error_text_uses_the_client_encoding(rpc):
    client = rpc.APIClient(encoding="gbk")
    with pytest.raises(APIException, match="^错误$"):
        client._handle_response(Response("错误".encode("gbk"), 500))
    with pytest.raises(UnicodeDecodeError):
        rpc.kl_api._handle_response(Response("错误".encode("gbk"), 500))


def test_replaced_decoders_are_used(rpc, monkeypatch):
    seen = []

    class Zlib:
        @staticmethod
        def decompress(data):
            seen.append(bytes(data))
            return zlib.decompress(data)

    monkeypatch.setattr(rpc, "zlib", Zlib)
    compressed = zlib.compress(msgpack.packb([7]))
    assert rpc.kl_api._handle_response(Response(pickle.dumps(compressed))) == [7]
    assert seen == [compressed]
    monkeypatch.setattr(rpc, "msgpack", None)  # any failure falls back to pickle
    assert rpc.kl_api._handle_response(Response(encode_answer(FRAME))).equals(FRAME)


def zlib_stream(header, payload):
    """`payload` deflated, behind the two-byte `header`, with its Adler-32."""
    deflate = zlib.compressobj(wbits=-15)
    body = deflate.compress(payload) + deflate.flush()
    return header + body + zlib.adler32(payload).to_bytes(4, "big")


def generated_headers():
    """Every method and window field, each with valid check bits for every
    level, with and without the preset-dictionary flag, and with bad ones."""
    for cmf in range(256):
        for flags in (0x00, 0x20, 0x40, 0x80, 0xC0, 0xE0):
            flg = flags | (31 - ((cmf << 8) | flags) % 31) % 31
            yield bytes([cmf, flg])
        yield bytes([cmf, (flg + 1) & 0xFF])


def outcome(decode, content):
    try:
        return "value", decode(content)
    except Exception as exc:
        return type(exc), str(exc)


# Small and large bodies reach different inflaters; an outer bytearray
# takes the general route to the last one.
ROUTES = {"small": (100, bytes), "large": (3000, bytes), "large-bytearray": (3000, bytearray)}


@pytest.mark.parametrize("route", ROUTES)
def test_generated_zlib_headers_decode_like_plain_python(rpc, route):
    size, outer = ROUTES[route]
    payload = msgpack.packb(random.Random(size).randbytes(size))
    for header in generated_headers():
        stream = zlib_stream(header, payload)
        for compressed in (stream, stream[:-1] + bytes([stream[-1] ^ 1])):  # bad Adler-32
            content = pickle.dumps(outer(compressed))
            got = outcome(lambda c: rpc.kl_api._handle_response(Response(c)), content)
            assert got == outcome(plain_decode, content), header


def spy(function, seen):
    def replaced(data, *args, **kwargs):
        seen.append(type(data))
        return function(data, *args, **kwargs)

    return replaced


@pytest.mark.parametrize("size", [100, 3000, 200_000])
@pytest.mark.parametrize("outer", [bytes, bytearray])
@pytest.mark.parametrize("inner", [msgpack.packb, pickle.dumps], ids=["msgpack", "pickle"])
@pytest.mark.parametrize(
    "module, name", [(zlib, "decompress"), (pickle, "loads"), (msgpack, "unpackb")]
)
def test_replaced_decoders_receive_what_the_plain_steps_hand_them(
    rpc, monkeypatch, size, outer, inner, module, name
):
    value = random.Random(size).randbytes(size)
    content = pickle.dumps(outer(zlib.compress(inner(value))))
    seen, expected = [], []
    replaced = SimpleNamespace(**{name: spy(getattr(module, name), seen)})
    monkeypatch.setattr(rpc, module.__name__, replaced)
    assert rpc.kl_api._handle_response(Response(content)) == value
    plain = {"zlib": zlib, "pickle": pickle, "msgpack": msgpack}
    plain[module.__name__] = SimpleNamespace(**{name: spy(getattr(module, name), expected)})
    result = plain["zlib"].decompress(plain["pickle"].loads(content))
    try:
        plain["msgpack"].unpackb(result, raw=False)
    except Exception:
        plain["pickle"].loads(result)
    assert seen == expected


def test_answers_from_the_server(server, logged_in):
    frame = logged_in.get_fundamentals(rows=2000)
    assert isinstance(frame, pd.DataFrame) and len(frame) == 2000
    assert frame["order_book_id"].iloc[0] == "600000.XSHG"
    import base64

    sql = base64.b64encode(b"select * from daily_bars limit 7").decode()
    assert len(logged_in.side_store(sql=sql)) == 7
    assert logged_in.trading_dates(start_date="2024-01-05", end_date="2024-01-08") == [
        "2024-01-05",
        "2024-01-08",
    ]


@pytest.mark.parametrize("body", [pickle.dumps(b"\x00" * 64), b"\xff" * 64])
def test_garbage_answers_fail(server, logged_in, body):
    server.inject("instruments", "garbage", body=body)
    with pytest.raises(Exception) as info:
        logged_in.instruments()
    assert not isinstance(info.value, APIException)
    assert server.count("instruments") == 1


def test_references_are_released(rpc):
    import sys

    good = encode_answer({"k": list(range(50))})
    frame = encode_answer(FRAME)
    bad = pickle.dumps(b"not zlib")
    responses = [Response(good), Response(frame), Response(bad), Response(b"err", 500)]
    before = [sys.getrefcount(r.content) for r in responses]
    for _ in range(20):
        for r in responses:
            try:
                rpc.kl_api._handle_response(r)
            except Exception:
                pass
    assert [sys.getrefcount(r.content) for r in responses] == before
