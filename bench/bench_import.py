"""Import time of each native module against its plain-Python twin.

    PYTHONPATH=. .venv/bin/python bench/bench_import.py [--runs N]

Every import runs in a fresh interpreter that has already imported what
both versions import (numpy, pandas, the chat library...), so the time is
the module's own: loading it and running its body. The plain module is
imported from its cached bytecode (one untimed run compiles it first).
Prints the best of N runs in milliseconds and the speed-up plain / native,
as every benchmark here does: below 1, the native import is the slower (a
shared library loaded and its classes built, against cached bytecode).
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile


# module: (what both import first, plain twin, native module)
MODULES = {
    "security": ("import dataclasses, velmor_trader.core.constants",
                 "velmor_trader.twins.security", "velmor_trader.core.security"),
    "tollbook": ("import math, velmor_trader.core.deal, velmor_trader.gateways.base_gateway",
                 "velmor_trader.twins.tollbook", "velmor_trader.gateways.futu.tollbook"),
    "db": ("import threading, sqlite3, datetime, typing, numpy, pandas",
           "velmor_trader.twins.db", "velmor_trader.plugins.sqlite3.db"),
    "metrics": ("import datetime, numpy, pandas", "velmor_trader.twins.metrics",
                "velmor_trader.plugins.analysis.metrics"),
    "bot": ("import datetime, logging, telegram, telegram.ext, velmor_trader_config",
            "velmor_trader.twins.bot", "velmor_trader.plugins.telegram.bot"),
}

TIMED = """
import sys, time
sys.path.insert(0, {config!r})
{deps}
# Both sides' packages are loaded before the clock starts: only the module is timed.
import velmor_trader.core, velmor_trader.twins
t0 = time.perf_counter()
import {module} as m
t1 = time.perf_counter()
if hasattr(m, "bot"):
    m.bot.close()
print(t1 - t0)
"""


def import_time(deps, module, config, env):
    code = TIMED.format(config=config, deps=deps, module=module)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=env, check=True, stdin=subprocess.DEVNULL)
    return float(out.stdout.split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    from velmor_trader.plugins.telegram.local_server import LocalChatServer

    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    # "-c" puts the working directory first on sys.path: the source tree, without
    # the built modules, would shadow the installed package.
    env["PYTHONSAFEPATH"] = "1"
    token = "123456:bench-token"
    with LocalChatServer(token=token, max_poll_hold=0.2) as server, \
            tempfile.TemporaryDirectory() as config:
        pathlib.Path(config, "velmor_trader_config.py").write_text(
            f"TELEGRAM_TOKEN = {token!r}\nTELEGRAM_CHAT_ID = 1\n"
            f"TELEGRAM_BASE_URL = {server.base_url!r}\nDB = {{'sqlite3': {config!r}}}\n")
        print(f"best of {args.runs} fresh interpreters")
        print(f"{'module':10}{'plain ms':>10}{'native ms':>11}{'speed-up':>10}")
        for name, (deps, pure, native) in MODULES.items():
            import_time(deps, pure, config, env)  # writes the plain module's bytecode
            times = {m: [] for m in (pure, native)}
            for _ in range(args.runs):
                for m in (pure, native):
                    times[m].append(import_time(deps, m, config, env))
            tp, tn = min(times[pure]) * 1e3, min(times[native]) * 1e3
            print(f"{name:10}{tp:10.2f}{tn:11.2f}{tp / tn:9.2f}x")


if __name__ == "__main__":
    main()
