"""Every benchmark of this folder, one after the other, and one table of ratios.

    ./run bench                 (or: python bench/run_all.py [NAME ...])
    PYTHON=python3.12 ./run bench         the same on 3.12 (or 3.13)
    python bench/run_all.py --compare     the last run of each version side by side

Each ``bench_*.py`` runs in its own interpreter, as it would alone, and its
own table is kept in full in bench/last-run.txt (bench/last-run-3.12.txt,
bench/last-run-3.13.txt for the other versions). The summary takes from each
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


def last_run(version):
    """Where the full output of a run on `version` ("3.11") is kept."""
    return HERE / ("last-run.txt" if version == "3.11" else f"last-run-{version}.txt")


VERSIONS = ("3.11", "3.12", "3.13")
ROW = re.compile(r"^\| (\S+) \| (.+?) \| ([\d.]+)x \| ([\d.]*)x? \|")


def compare():
    """The kept tables of every version side by side. A ratio more than 10 %
    below 3.11's is marked "<", or "~" where the row's native time over its
    floor is within 10 % of 3.11's: there the newer interpreter ran the plain
    code faster, and native kept its distance to the calls it cannot avoid."""
    tables = {}
    for version in VERSIONS:
        path = last_run(version)
        if path.exists():
            rows = {}
            for line in path.read_text(encoding="utf-8").splitlines():
                if m := ROW.match(line):
                    rows[(m[1], m[2])] = (float(m[3]), float(m[4]) if m[4] else None)
            tables[version] = rows
    if not tables:
        print("no kept run: run ./run bench first", file=sys.stderr)
        return 2
    versions = list(tables)
    keys = list(dict.fromkeys(k for rows in tables.values() for k in rows))
    head = ["benchmark", "hot path"] + [f"{v} speed-up (/floor)" for v in versions]
    print("| " + " | ".join(head) + " |")
    print("|---|---|" + "---:|" * len(versions))
    base = tables.get("3.11", {})
    for key in keys:
        cells = []
        for v in versions:
            got = tables[v].get(key)
            if got is None:
                cells.append("")
                continue
            speedup, floor = got
            cell = f"{speedup:.2f}x" + (f" ({floor:.2f}x)" if floor is not None else "")
            if v != "3.11" and key in base and speedup < 0.9 * base[key][0]:
                base_floor = base[key][1]
                near = floor is not None and base_floor is not None and floor <= 1.1 * base_floor
                cell += " ~" if near else " <"
            cells.append(cell)
        print(f"| {key[0]} | {key[1]} | " + " | ".join(cells) + " |")
    return 0


def main(argv):
    if argv[:1] == ["--compare"]:
        return compare()
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
    last_run("%d.%d" % sys.version_info[:2]).write_text(table + "\n\n" + "\n".join(log), encoding="utf-8")
    print(table)
    return 0 if all(not str(case).startswith("FAILED") for _, case, *_ in rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
