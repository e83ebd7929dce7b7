"""The native MessagePack decoding of answers against msgpack.unpackb: the
same value with the same types and key order, or the same fall-back to pickle
and the same exception, on generated documents, on mutated bytes and on the
documents at the edges of what it decodes itself. Answers above a few hundred
compressed bytes are inflated into the reused region; both routes are run."""

import math
import os
import pickle
import random
import sys
import threading
import zlib

import msgpack
import pytest
from hypothesis import HealthCheck, given, reject, settings
from hypothesis import strategies as st

from shared.fuzz import edit_lists, mutate
from shared.platform import Response, plain_decode
from zentaro.mod.kelvo.utils import platform_rpc

DIFFERENTIAL = settings(
    max_examples=300,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def outcome(fn, *args):
    try:
        value = fn(*args)
    except Exception as exc:
        return ("error", type(exc))
    return ("value", canonical(value))


_CLOSE = object()


def canonical(value):
    """A flat token list (the nesting tests go 1025 containers deep): equal
    for NaN, and telling apart bool, int and float, str and bytes, list and
    tuple, and key orders."""
    tokens, stack = [], [value]
    while stack:
        v = stack.pop()
        if v is _CLOSE:
            tokens.append("end")
        elif isinstance(v, float) and math.isnan(v):
            tokens.append(("float", "nan"))
        elif isinstance(v, (list, tuple, dict)):
            tokens.append((type(v).__name__, len(v)))
            stack.append(_CLOSE)
            if isinstance(v, dict):
                for k, x in reversed(list(v.items())):
                    stack += [x, k]
            else:
                stack.extend(reversed(v))
        else:
            tokens.append((type(v).__name__, v))
    return tokens


def tame(data):
    """Bytes that pickle.loads reads quickly when a broken document falls back
    to it: no LONG_BINPUT ("r"), whose memo index can ask for gigabytes, and
    no BYTEARRAY8, which allocates its declared size before reading it."""
    return data.replace(b"r", b"s").replace(b"\x96", b"\x97")


# Random bytes do not compress: this many of them take an answer past the
# small-answer route and into the reused region.
PADDING = tame(random.Random(14).randbytes(2048))


def answer(payload, padded):
    """The answer body around a payload; a padded payload is the same
    document followed by incompressible bytes MessagePack reads as extra data,
    so it is only used where the document itself is a pickle or invalid."""
    return pickle.dumps(zlib.compress(payload + (PADDING if padded else b"")), protocol=5)


def same_as_msgpack(rpc, payload, padded=False):
    body = answer(payload, padded)
    ours = outcome(rpc.kl_api._handle_response, Response(body))
    theirs = outcome(plain_decode, body)
    assert ours == theirs
    return ours


# Keys and short values drawn from small pools repeat across records, as in
# the platform's answers, so the decoder's tables are hit as well as missed.
KEYS = st.sampled_from(["order_book_id", "symbol", "type", "长键名", "k", "", "x" * 40])
SHORT = st.sampled_from(["CS", "XSHG", "2024-01-05", "银行", "", "Active", "a" * 16, "a" * 17])
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**64 - 1),
    st.floats(),
    st.floats(width=32),
    SHORT,
    st.text(st.characters(codec="utf-8"), max_size=40),
    st.binary(max_size=40),
)
documents = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=8),
        st.dictionaries(st.one_of(KEYS, st.text(max_size=6)), inner, max_size=8),
    ),
    max_leaves=40,
)


def pack(value, single_floats):
    try:
        return msgpack.packb(value, use_single_float=single_floats)
    except OverflowError:  # a double too large for a single float
        reject()


@DIFFERENTIAL
@given(value=documents, single_floats=st.booleans(), large=st.booleans())
def test_generated_documents_decode_as_msgpack_decodes_them(value, single_floats, large):
    rpc = platform_rpc  # a function-scoped fixture would not reset between examples
    document = [value, PADDING] if large else value
    assert same_as_msgpack(rpc, pack(document, single_floats))[0] == "value"


edits = edit_lists(["set", "cut", "insert", "drop"], max_size=3)


@DIFFERENTIAL
@given(value=documents, changes=edits, large=st.booleans())
def test_mutated_documents_decode_or_fail_as_msgpack_does(value, changes, large):
    rpc = platform_rpc
    payload = mutate(pack([value, PADDING] if large else value, False), changes)
    same_as_msgpack(rpc, tame(payload))


NESTED = 500  # the deepest nesting the decoder takes itself


@pytest.mark.parametrize(
    "payload",
    [
        msgpack.packb(msgpack.ExtType(5, b"abc")),
        msgpack.packb({"t": msgpack.Timestamp(1, 2)}),
        b"\x81\x01\x02",  # int key
        b"\x81\xc4\x01a\x02",  # bin key: msgpack gives a bytes key
        b"\x81\xc0\x01",  # nil key
        b"\x81\x90\x01",  # list key: not hashable
        b"\xa2\xff\xfe",  # invalid UTF-8 value
        b"\x81\xa2\xed\xa0\x01",  # an encoded surrogate as a key
        msgpack.packb([1, 2]) + b"\x01",  # extra data
        msgpack.packb({"a": "bc"})[:-1],  # truncated
        b"\xdd\xff\xff\xff\xff\x01",  # a list longer than the document
        b"\xdf\x00\x00\x00\x02\xa1a\x01",  # a map longer than the document
        b"\xc1",  # never used
        b"",
        b"\x91" * NESTED + b"\xc0",
        b"\x91" * (NESTED + 1) + b"\xc0",
        b"\x91" * 1024 + b"\xc0",
        b"\x91" * 1025 + b"\xc0",  # deeper than msgpack goes
        b"\x83\xa1a\x01\xa1b\x02\xa1a\x03",  # duplicate key: last value, first place
        msgpack.packb([2**64 - 1, -(2**63), 2**63, -1, -32, -33, 127, 128, 255, 256, 65536]),
        msgpack.packb([0.1, float("inf"), -0.0], use_single_float=True),
        msgpack.packb({"s": "", "b": b"", "l": [], "d": {}, "x": "x" * 70000, "y": b"y" * 70000}),
        pickle.dumps({"not": "msgpack"}, protocol=2),
        b"\x80",  # an empty map
    ],
)
@pytest.mark.parametrize("padded", [False, True], ids=["small", "region"])
def test_documents_at_the_edges(rpc, payload, padded):
    same_as_msgpack(rpc, payload, padded)


def test_repeated_short_texts_are_shared_and_keys_interned(rpc):
    records = [{"exchange": "XSHG", "code": f"{i:06d}"} for i in range(3)]
    first, second = (
        rpc.kl_api._handle_response(Response(answer(msgpack.packb(records), False)))
        for _ in range(2)
    )
    assert first == second == records
    assert first[0]["exchange"] is first[2]["exchange"] is second[1]["exchange"]
    key = next(iter(first[0]))
    assert key is sys.intern("exchange")


LARGE = [{"code": f"{i:06d}.XSHE", "close": i / 7, "blob": os.urandom(8)} for i in range(20000)]


def test_replaced_decoders_receive_bytes_for_a_large_answer(rpc, monkeypatch):
    seen = []

    class Msgpack:
        @staticmethod
        def unpackb(data, raw=True):
            seen.append(type(data))
            return msgpack.unpackb(data, raw=raw)

    class Pickle:
        @staticmethod
        def loads(data):
            seen.append(type(data))
            return pickle.loads(data)

    body = answer(msgpack.packb(LARGE), False)
    monkeypatch.setattr(rpc, "msgpack", Msgpack)
    assert rpc.kl_api._handle_response(Response(body)) == LARGE
    assert seen == [bytes]
    monkeypatch.setattr(rpc, "msgpack", None)
    monkeypatch.setattr(rpc, "pickle", Pickle)
    frame_body = pickle.dumps(zlib.compress(pickle.dumps(LARGE)), protocol=5)
    assert rpc.kl_api._handle_response(Response(frame_body)) == LARGE
    assert seen == [bytes, bytes, bytes]  # the outer pickle, then the payload


def test_threads_decoding_large_answers_at_once(rpc):
    bodies = [
        answer(msgpack.packb(LARGE), False),
        pickle.dumps(zlib.compress(pickle.dumps(LARGE)), protocol=4),
    ]
    failures = []

    def work(body):
        for _ in range(5):
            if rpc.kl_api._handle_response(Response(body)) != LARGE:
                failures.append(body[:8])

    threads = [threading.Thread(target=work, args=(bodies[i % 2],)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


def region_resident_kb():
    """Resident size of the reused inflate region: the 1 GiB anonymous mapping."""
    resident, in_region = [], False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            first = line.split()[0]
            if "-" in first and not first.endswith(":"):
                start, end = (int(x, 16) for x in first.split("-"))
                in_region = end - start == 1 << 30
            elif in_region and first == "Rss:":
                resident.append(int(line.split()[1]))
    return resident


@pytest.mark.skipif(not os.path.exists("/proc/self/smaps"), reason="needs /proc")
def test_an_answer_larger_than_the_resident_bound_leaves_at_most_the_bound(rpc):
    big = b"\x07" * (80 << 20)  # compresses to some 80 KB
    body = pickle.dumps(zlib.compress(pickle.dumps(big, protocol=5)), protocol=5)
    assert rpc.kl_api._handle_response(Response(body)) == big
    resident = region_resident_kb()
    assert resident, "no reused region"
    assert max(resident) <= (32 << 10) + 2048  # the bound, and one huge page of slack
