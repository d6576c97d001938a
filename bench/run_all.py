"""Every benchmark of this folder, one after the other, and one table of ratios.

    ./run bench                 (or: python bench/run_all.py [NAME ...])

Each ``bench_*.py`` runs in its own interpreter, as it would alone, and its
own table is kept in full in bench/last-run.txt. The summary takes from each
result line the speed-up (plain-Python time / native time, the first figure
written "N.NNx") and, where the benchmark times a floor (the calls the same
event cannot avoid), the native time over that floor.
"""
import datetime
import os
import pathlib
import platform
import re
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
RATIO = re.compile(r"^-?\d+(?:\.\d+)?x$")
# A figure, or "-" where a benchmark has none (a case without a floor).
NUMBER = re.compile(r"^(?:[-+]?\d+(?:\.\d+)?(?:e[-+]?\d+)?(?:us|ms|s)?|-)$")


def parse(output):
    """(case, speed-up, native/floor or None, verdict) for each result line."""
    results, header = [], ""
    for line in output.splitlines():
        tokens = line.split()
        ratios = [i for i, t in enumerate(tokens) if RATIO.match(t)]
        if not ratios:
            if "floor" in line or "ratio" in line or "speed-up" in line:
                header = line
            continue
        start = ratios[0]
        while start > 0 and NUMBER.match(tokens[start - 1]):
            start -= 1
        case = " ".join(tokens[:start]) or "-"
        speedup = float(tokens[ratios[0]][:-1])
        floor = (float(tokens[ratios[1]][:-1])
                 if len(ratios) > 1 and "floor" in header else None)
        verdict = " ".join(t for t in tokens[ratios[-1] + 1:] if t != "-")
        results.append((case, speedup, floor, verdict))
    return results


def main(argv):
    names = argv or sorted(p.stem[len("bench_"):] for p in HERE.glob("bench_*.py"))
    log, rows = [], []
    for name in names:
        script = HERE / f"bench_{name}.py"
        print(f"running {script.name} ...", file=sys.stderr, flush=True)
        started = time.monotonic()
        done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                              env=os.environ.copy(), stdin=subprocess.DEVNULL)
        took = time.monotonic() - started
        log.append(f"== {script.name} ({took:.0f} s, exit {done.returncode})\n{done.stdout}"
                   f"{done.stderr}")
        found = parse(done.stdout)
        if done.returncode not in (0, 1) or not found:  # 1: a target missed, still a table
            rows.append((name, f"FAILED (exit {done.returncode})", None, None, ""))
        rows += [(name, case, speedup, floor, verdict) for case, speedup, floor, verdict in found]
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    lines = [f"Benchmarks of {stamp} on {platform.machine()}, {os.cpu_count()} cores, "
             f"Python {platform.python_version()}",
             "",
             "| benchmark | hot path | speed-up | native / floor | target |",
             "|---|---|---:|---:|---|"]
    for name, case, speedup, floor, verdict in rows:
        lines.append(f"| {name} | {case} | "
                     + ("" if speedup is None else f"{speedup:.2f}x") + " | "
                     + ("" if floor is None else f"{floor:.2f}x") + f" | {verdict} |")
    table = "\n".join(lines)
    (HERE / "last-run.txt").write_text(table + "\n\n" + "\n".join(log), encoding="utf-8")
    print(table)
    return 0 if all(not str(case).startswith("FAILED") for _, case, *_ in rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
