"""Whole sessions under seeded faults (fault_sessions.py), in a child
interpreter: the chat bot's module connects once per process, and this
process may have imported it already for the bot's own tests.
``tools/fault-seeds --seeds N`` runs any number of seeds."""
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SEEDS = (2, 3, 5, 9, 10, 12, 16, 24)     # between them every kind of fault fires


def test_sessions_under_faults_keep_every_invariant():
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONPATH"] = os.pathsep.join([str(HERE)] + [p for p in [env.get("PYTHONPATH")] if p])
    done = subprocess.run([sys.executable, str(HERE / "fault_sessions.py")]
                          + [f"--seed={s}" for s in SEEDS], env=env, capture_output=True,
                          text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert done.returncode == 0 and f"{len(SEEDS)} passed, 0 failed" in done.stdout, \
        done.stdout + done.stderr
    fired = {}
    for line in done.stdout.splitlines():
        for name, count in re.findall(r"(\D+?) (\d+)(?:,|\))", line.split("s; ", 1)[-1]):
            fired[name.strip(", ")] = fired.get(name.strip(", "), 0) + int(count)
    for name in ("timeouts", "recorded from the broker", "refreshed", "fills twice", "fills"):
        assert fired.get(name), (name, done.stdout)
