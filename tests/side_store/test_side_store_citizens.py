"""SideStore as Python code meets it (bound methods, signatures, help), and
its temporary files: names nobody can guess, and a planted symlink is never
followed."""

import base64
import hashlib
import inspect
import os
import pydoc
import threading
import types

import pytest

from shared.citizens import assert_python_method, declared_signature

SQL = "select * from instruments limit 3"


@pytest.mark.parametrize("name", ["read", "__enter__", "__exit__"])
def test_bound_methods_behave_like_python_methods(ss, name):
    assert_python_method(ss.SideStore(), name)


@pytest.mark.parametrize("attr", [None, "read", "__enter__", "__exit__"])
def test_signatures(ss, attr):
    obj = ss.SideStore if attr is None else getattr(ss.SideStore, attr)
    assert str(inspect.signature(obj)) == declared_signature(obj)


def test_help_renders(ss):
    for obj in (ss.SideStore, ss.SideStore()):
        assert "SideStore" in pydoc.render_doc(obj)


def temp_names_seen(ss, monkeypatch):
    """The temporary path of every cache file written (read from /proc)."""
    seen = []
    real = ss.feather

    def write_feather(frame, f):
        seen.append(os.readlink(f"/proc/self/fd/{f.fileno()}"))
        return real.write_feather(frame, f)

    monkeypatch.setattr(
        ss,
        "feather",
        types.SimpleNamespace(read_feather=real.read_feather, write_feather=write_feather),
    )
    return seen


def test_temporary_names_are_unpredictable_and_planted_links_not_followed(
    ss, cache_dir, tmp_path, monkeypatch
):
    victim = tmp_path / "victim"
    victim.write_text("precious")
    name = hashlib.md5(base64.b64encode(SQL.encode())).hexdigest()
    cache_dir.mkdir(parents=True)
    # Where a name made of pid and thread would put the temporary file.
    planted = cache_dir / f".{name}.{os.getpid()}.{threading.get_ident()}.%lx.tmp"
    planted.symlink_to(victim)
    seen = temp_names_seen(ss, monkeypatch)
    with ss.SideStore() as store:
        store.read(SQL)
        store.read(SQL + " ")
    assert victim.read_bytes() == b"precious"
    entry = cache_dir / name
    assert entry.is_file() and not entry.is_symlink()
    assert len(seen) == 2 and len(set(seen)) == 2
    for path in seen:
        assert os.path.dirname(path) == str(cache_dir) and "%" not in path
        assert str(os.getpid()) not in os.path.basename(path)
    planted.unlink()
    assert sorted(os.listdir(cache_dir)) == sorted(
        [name, hashlib.md5(base64.b64encode((SQL + " ").encode())).hexdigest()]
    )
