"""The API reference builds from the installed kit without a warning and names every public member."""

import ast
import importlib
import pathlib
import subprocess
import sys

import pytest

from shared.modules import KIT_MODULES

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
# Module -> its reference page.
PAGES = {name: name.rsplit(".", 1)[1] for name in KIT_MODULES}


def public_names(name):
    """Dotted names of the module's own public classes, functions, objects and members."""
    module = importlib.import_module(name)
    found = []
    for key, value in vars(module).items():
        if key.startswith("_"):
            continue
        own = isinstance(value, type) or callable(value)
        origin = getattr(value, "__module__", None) if own else type(value).__module__
        if origin != name:
            continue  # imported from elsewhere
        found.append(key)
        if isinstance(value, type):
            found += [f"{key}.{member}" for member in vars(value) if not member.startswith("_")]
    # Instance attributes exist only on objects: the stub declares them.
    stub = pathlib.Path(module.__file__).parent / (name.rpartition(".")[2] + ".pyi")
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ClassDef):
            found += [
                f"{node.name}.{item.target.id}"
                for item in node.body
                if isinstance(item, ast.AnnAssign)
                and item.value is None
                and not item.target.id.startswith("_")
            ]
    return [f"{name}.{key}" for key in found]


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    pytest.importorskip("sphinx", reason="sphinx is in the test and docs extras")
    out = tmp_path_factory.mktemp("docs")
    # As scripts/docs builds it: every warning an error.
    strict = ["-W", "--keep-going", "-q", "-b", "html", "-d", str(out / "doctrees")]
    run = subprocess.run(
        [sys.executable, "-m", "sphinx", *strict, str(DOCS), str(out / "html")],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stderr == ""  # not one warning
    return out / "html"


@pytest.mark.parametrize("name", list(PAGES))
def test_every_public_member_has_its_entry(built, name):
    page = (built / "reference" / f"{PAGES[name]}.html").read_text(encoding="utf-8")
    missing = [dotted for dotted in public_names(name) if f'id="{dotted}"' not in page]
    assert missing == []
    assert "Example" in page


def test_the_index_links_every_page_and_the_readme_links_the_reference(built):
    index = (built / "index.html").read_text(encoding="utf-8")
    for page in PAGES.values():
        assert f'href="reference/{page}.html"' in index
    assert "docs/_build/html" in (ROOT / "README.md").read_text(encoding="utf-8")


def test_a_docstring_the_kit_fixes_is_shown_as_written(built):
    page = (built / "reference" / "side_store.html").read_text(encoding="utf-8")
    assert "根据sql获取数据，将pg里面的基本信息存储为hdf文件" in page
    signature = page.split('id="zentaro.mod.kelvo.data.side_store.SideStore.read"')[1]
    assert "pandas.DataFrame" in signature.split("</dt>")[0]  # the stub's types
