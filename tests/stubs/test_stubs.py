"""The installed type stubs agree with the installed modules on public names
and signatures (checked in a child interpreter: the chat bot's module
connects when imported)."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import stubcheck  # noqa: E402


def test_every_stub_agrees_with_its_module():
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    done = subprocess.run([sys.executable, str(HERE / "stubcheck.py")], capture_output=True,
                          text=True, timeout=120, env=env, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == []


@pytest.mark.parametrize("edit", [
    lambda s: s.replace("def sharpe_ratio(returns: 'np.array', days: 'int' = 252)",
                        "def sharpe_ratio(returns: 'np.array', days: 'int' = 250)"),
    lambda s: s.replace("days: 'int' = 252) -> 'float'", "days: 'int' = 252)", 1),
    lambda s: s.replace("def convert_time", "def convert_times"),
    lambda s: s + "\ndef extra(): ...\n",
])
def test_a_stub_that_disagrees_is_caught(edit):
    from velmor_trader.plugins.analysis import metrics
    text = (pathlib.Path(metrics.__file__).parent / "metrics.pyi").read_text()
    assert stubcheck.compare(metrics, text) == []
    assert edit(text) != text
    assert stubcheck.compare(metrics, edit(text)) != []
