"""A command line the session cannot run is refused at once, in one line."""
import os
from pathlib import Path

import pytest

from conftest import run_session, session_command

SYS_KERNEL = Path("/sys/kernel")


def unwritable_folder(tmp_path):
    if os.name == "nt" or os.geteuid() != 0:
        folder = tmp_path / "read-only"
        folder.mkdir()
        folder.chmod(0o500)
        return folder
    if not SYS_KERNEL.is_dir():            # root writes past any permission bits
        pytest.skip("no folder here that root cannot write")
    return SYS_KERNEL


@pytest.mark.parametrize("option, value, refusal", [
    ("--speed", "nan", "--speed"),
    ("--speed", "inf", "--speed"),
    ("--speed", "0", "--speed"),
    ("--speed", "-1", "--speed"),
    ("--speed", "1e-9", "--speed"),          # would never get to its first minute
    ("--minutes", "1", "--minutes"),
    ("--minutes", "100000", "--minutes"),
    ("--out", "file", "is a file"),
    ("--out", "file/folder", "cannot be written"),
    ("--out", "unwritable", "cannot be written"),
])
def test_a_bad_value_gets_one_usage_error(tmp_path, option, value, refusal):
    file = tmp_path / "file"
    file.write_text("the user's own\n")
    if option == "--out":
        target = unwritable_folder(tmp_path) if value == "unwritable" else tmp_path / value
        command = session_command(target)
    else:
        command = session_command(tmp_path / "out", extra=[option, value])
    done = run_session(tmp_path / "out", command=command, timeout=30)
    assert done.returncode == 2, done.stdout + done.stderr
    assert done.stdout == "" and "Traceback" not in done.stderr
    *usage, error = done.stderr.splitlines()
    assert usage[0].startswith("usage: ") and error.startswith("./run demo: error: ")
    assert refusal in error
    assert file.read_text() == "the user's own\n"
    assert not (tmp_path / "out").exists()
