"""The source distribution holds the sources, never what was built or run."""
import pathlib
import shutil
import subprocess
import tarfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
build = pytest.importorskip("scikit_build_core.build")


def test_sdist_leaves_out_builds_environments_and_sessions(tmp_path, monkeypatch):
    if not (ROOT / ".git").exists():
        pytest.skip("needs the git checkout")
    tracked = subprocess.run(["git", "-C", str(ROOT), "ls-files"], check=True,
                             capture_output=True, text=True).stdout.split()
    src = tmp_path / "src"
    for name in tracked:
        if (ROOT / name).is_file():
            (src / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, src / name)
    # What a developer's tree holds besides: build folders, a venv per
    # version, and session folders under names the person chose.
    leftovers = ["build/cp311/x.o", ".venv-3.12/bin/python", "paper-trading/report.txt",
                 "myrun/session.lock", "myrun/velmor_trader.db", "myrun/velmor_trader.db-wal",
                 "myrun/chat.txt", "myrun/report.png", "myrun/session.json", "myrun/session.log",
                 "velmor_trader/core/security.cpython-311-x86_64-linux-gnu.so"]
    for name in leftovers:
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).write_text("x")
    monkeypatch.chdir(src)
    out = tmp_path / "dist"
    out.mkdir()
    name = build.build_sdist(str(out))
    with tarfile.open(out / name) as sdist:
        members = {m.split("/", 1)[1] for m in sdist.getnames() if "/" in m}
    assert not members & set(leftovers)
    assert {"CMakeLists.txt", "native/core/internals.h", "velmor_trader/__init__.py"} <= members
