"""The compiler reads each kit function's signature text against its C++ function:
a text that does not fit stops the build."""

import os
import pathlib
import shutil
import subprocess
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
COMPILER = os.environ.get("CXX") or shutil.which("c++")
SNIPPET = """#include "zentaro/function.hpp"
nanobind::object start_up(nanobind::handle self, nanobind::handle env, nanobind::handle config);
void define(zentaro::ClassBuilder &cls) { cls.def<start_up>("%s"); }
"""


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler on the PATH")
@pytest.mark.parametrize(
    "text, error",
    [
        ("start_up(self, env, mod_config)", None),
        ("start_up(self, env)", "does_not_take_as_many_parameters_as_its_cpp_function"),
        ("start_up(self, env, env=None)", "names_a_parameter_twice"),
        ("start_up(self, env=1, mod_config)", "required_parameter_after_one_with_a_default"),
    ],
)
def test_the_build_reads_the_signature_text(tmp_path, text, error):
    nanobind = pytest.importorskip("nanobind")
    source = tmp_path / "snippet.cpp"
    source.write_text(SNIPPET % text)
    includes = [ROOT / "src" / "include", nanobind.include_dir(), sysconfig.get_paths()["include"]]
    run = subprocess.run(
        [COMPILER, "-std=c++20", "-fsyntax-only", "-fvisibility=hidden", source]
        + [f"-I{path}" for path in includes],
        capture_output=True,
        text=True,
    )
    assert (run.returncode == 0) == (error is None), run.stderr
    assert error is None or error in run.stderr
