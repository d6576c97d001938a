"""A command line the session cannot run is refused at once, in one line."""
import sys
from importlib.metadata import version
from pathlib import Path

import pytest

from conftest import run_session, session_command


@pytest.mark.parametrize("option, value", [
    ("--speed", "nan"), ("--speed", "inf"), ("--speed", "0"), ("--speed", "-1"),
    ("--speed", "1e-9"),                    # would never reach its first minute
    ("--minutes", "1"), ("--minutes", "100000"),
    ("--out", "file"), ("--out", "file/folder"),
])
def test_a_bad_value_gets_one_usage_error(tmp_path, option, value):
    (tmp_path / "file").write_text("the user's own")
    out = tmp_path / (value if option == "--out" else "out")
    extra = [] if option == "--out" else [option, value]
    done = run_session(tmp_path / "out", command=session_command(out, extra=extra), timeout=30)
    assert done.returncode == 2 and done.stdout == "", done.stderr
    assert done.stderr.splitlines()[-1].startswith(f"./run demo: error: {option}")
    assert "Traceback" not in done.stderr and not (tmp_path / "out").exists()
    assert (tmp_path / "file").read_text() == "the user's own"


def test_version_from_both_commands_and_a_bad_log_level(tmp_path):
    # the console command is installed beside the interpreter
    command = Path(sys.executable).with_name("velmor-paper")
    for prog, line in (("./run demo", session_command(tmp_path / "out")[:3]),
                       ("velmor-paper", [str(command)])):
        done = run_session(tmp_path / "out", command=line + ["--version"], timeout=30)
        assert (done.returncode, done.stdout) == (0, f"{prog} {version('velmor_trader')}\n")
    done = run_session(tmp_path / "out", command=session_command(
        tmp_path / "out", extra=["--log-level", "chatty"]), timeout=30)
    assert done.returncode == 2 and "--log-level: invalid choice" in done.stderr
    assert not (tmp_path / "out").exists()
