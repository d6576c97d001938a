"""A body's named parameters against its declared signature: a mismatch
never reaches a call, where the body would read a slot nobody filled."""
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MESSAGE = "the body of takes_two takes 2 parameters but its signature declares {}"


@pytest.mark.parametrize("bind", ["bind_two", "checked_body_two"])
@pytest.mark.parametrize("declared", [0, 1, 3])
def test_a_list_made_beforehand_is_checked_when_bound(t, bind, declared):
    with pytest.raises(RuntimeError, match="^" + MESSAGE.format(declared) + "$"):
        getattr(t, bind)(declared)


@pytest.mark.parametrize("bind", ["bind_two", "checked_body_two"])
def test_a_matching_list_binds(t, bind):
    assert getattr(t, bind)(2)("x", b="y") == ("x", "y")


SOURCE = """
#include <vt.h>
namespace {
namespace py = pybind11;
py::object takes_two(vt::Call &, py::handle a, py::handle) { return py::reinterpret_borrow<py::object>(a); }
}
void bind_it(vt::Members &m) { m.add<takes_two>("takes_two", {PARAMS}); }
"""


def _compile(tmp_path, params):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    pybind11 = pytest.importorskip("pybind11")
    source = tmp_path / "bind_it.cpp"
    source.write_text(SOURCE.replace("PARAMS", params))
    import sysconfig
    command = [compiler, "-std=c++17", "-fsyntax-only", f"-I{ROOT / 'native' / 'core'}",
               f"-I{pybind11.get_include()}", f"-I{sysconfig.get_paths()['include']}", str(source)]
    return subprocess.run(command, capture_output=True, text=True)


@pytest.mark.parametrize("params, compiles", [
    ('vt::arg("a"), vt::arg("b")', True),
    ('vt::arg("a"), vt::arg("b"), vt::star("rest")', False),
])
def test_a_list_written_in_the_call_is_checked_when_compiling(tmp_path, params, compiles):
    result = _compile(tmp_path, params)
    assert (result.returncode == 0) is compiles, result.stderr[-2000:]
    if not compiles:
        assert "different number of parameters than its signature declares" in result.stderr
