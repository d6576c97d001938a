"""The type stubs of the six extension modules: mypy's stubtest finds
nothing wrong with them, the values the modules return and hold are of the
types the stubs state, and the stubs are what tools/gen_stubs.py writes.
The modules are imported in a child interpreter: the chat bot's module
connects when imported."""
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))

import stub_checks  # noqa: E402


def child_env(**extra):
    return {**{k: v for k, v in os.environ.items() if "proxy" not in k.lower()}, **extra}


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    # mypy looks in the working directory first: not in the source tree, whose
    # plain modules it would then check as well, but at the installed package
    done = subprocess.run([sys.executable, str(HERE / "stub_checks.py")], capture_output=True,
                          text=True, timeout=600, env=child_env(), stdin=subprocess.DEVNULL,
                          cwd=tmp_path_factory.mktemp("stubtest"))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("module", stub_checks.MODULES)
def test_stubtest_finds_nothing_wrong(checked, module):
    about = [line for line in checked["output"].splitlines()
             if line.startswith("error: " + module)]
    assert about == [], checked["output"]


def test_stubtest_passes_as_a_whole(checked):
    assert checked["stubtest"] == 0, checked["output"]


def test_the_values_are_of_the_types_the_stubs_state(checked):
    assert checked["mismatches"] == []


def test_a_stub_type_the_behaviour_contradicts_is_caught():
    from velmor_trader.plugins.analysis import metrics
    path = pathlib.Path(metrics.__file__).parent / "metrics.pyi"
    good = stub_checks.stub_namespace(metrics)
    assert stub_checks.metrics_mismatches(metrics, good) == []
    # the type the stub had before: a float where a Series comes back
    text = path.read_text().replace("int = 252) -> pd.Series", "int = 252) -> float")
    bad = {}
    exec(compile(text, "metrics.pyi", "exec"), bad)
    assert [m for m in stub_checks.metrics_mismatches(metrics, bad)
            if "rolling_maximum_drawdown" in m and "Series" in m]


def test_stubtest_catches_a_stub_that_disagrees_with_the_module(tmp_path):
    """A copy of the installed package's Python files and stubs, one stub
    broken, found by mypy before the installed one."""
    import velmor_trader
    source = pathlib.Path(velmor_trader.__file__).parent
    shutil.copytree(source, tmp_path / "velmor_trader",
                    ignore=lambda folder, names: [n for n in names if n.endswith((".so", ".pyd"))
                                                  or n == "__pycache__"])
    stub = tmp_path / "velmor_trader" / "plugins" / "analysis" / "metrics.pyi"
    text = stub.read_text()
    stub.write_text(text.replace("def convert_time(time_: str)", "def convert_time(time: str)"))
    assert stub.read_text() != text
    code = ("import sys, stub_checks; code, out = stub_checks.stubtest("
            "['velmor_trader.plugins.analysis.metrics']); print(out); sys.exit(code)")
    (tmp_path / "cwd").mkdir()
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600, cwd=tmp_path / "cwd", stdin=subprocess.DEVNULL,
                          env=child_env(MYPYPATH=str(tmp_path), PYTHONPATH=str(HERE)))
    assert done.returncode == 1, done.stdout + done.stderr
    assert "velmor_trader.plugins.analysis.metrics.convert_time" in done.stdout


def test_the_stubs_are_what_gen_stubs_writes():
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_stubs.py"), "--check"],
                          capture_output=True, text=True, timeout=300, env=child_env(),
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stdout + done.stderr
