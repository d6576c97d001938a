"""One suite, two implementations.

Every behaviour test of a module runs twice: against the native extension
module and against its plain-Python twin in ``velmor_trader.twins``.  A test
takes the side through the ``impl`` fixture (directly, or through a module
fixture such as ``dbmod`` that depends on it) and gets the module under test
from ``implementation(name, impl)`` (tests/implementations.py).  A test of what only native code has
(fast-path guards, GIL release, reference counts, the class-version watches)
is marked ``native_only`` and runs once, against the native module.

Within each test directory every native run comes before every twin run:
the bot module starts polling when imported and cannot be imported twice in
one process, so the native bot is closed before its twin starts.
"""
import collections
import pathlib

import pytest

from implementations import IMPLS


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "native_only: tests what only the native module has; not run on the twin")


def _parametrizes_impl_itself(definition):
    for mark in definition.iter_markers("parametrize"):
        names = mark.args[0]
        if isinstance(names, str):
            names = [n.strip() for n in names.split(",")]
        if "impl" in names:
            return True
    return False


def pytest_generate_tests(metafunc):
    if "impl" in metafunc.fixturenames and not _parametrizes_impl_itself(metafunc.definition):
        native_only = metafunc.definition.get_closest_marker("native_only") is not None
        metafunc.parametrize("impl", IMPLS[:1] if native_only else IMPLS)


_impl_of = {}  # nodeid -> "native" / "twin" / "both", for the summary

# Fixtures that hand a test both sides at once, for tests that play one case
# on each and compare what they did (the broker client's `run`, the fee
# schedules' `ref` beside `native_tb`).
SIDE_BY_SIDE = {"modules", "ref"}


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(items):
    first_seen = {}
    for item in items:
        first_seen.setdefault(pathlib.Path(str(item.path)).parent, len(first_seen))
        callspec = getattr(item, "callspec", None)
        if callspec is not None and "impl" in callspec.params:
            _impl_of[item.nodeid] = callspec.params["impl"]
        elif SIDE_BY_SIDE & set(getattr(item, "fixturenames", ())):
            _impl_of[item.nodeid] = "both"

    def key(item):
        side = _impl_of.get(item.nodeid, "native")
        return (first_seen[pathlib.Path(str(item.path)).parent],
                IMPLS.index(side) if side in IMPLS else 0)

    items.sort(key=key)  # stable: the files' own order is kept within each side


_outcomes = collections.Counter()


def pytest_runtest_logreport(report):
    impl = _impl_of.get(report.nodeid)
    if impl is None:
        return
    if report.when == "call" or (report.when == "setup" and not report.passed):
        _outcomes[impl, report.outcome] += 1


def pytest_terminal_summary(terminalreporter):
    if not _outcomes:
        return
    parts = []
    for impl in IMPLS + ("both",):
        counts = {o: n for (i, o), n in sorted(_outcomes.items()) if i == impl}
        total = sum(counts.values())
        if impl == "both" and not total:
            continue
        label = "both sides compared in one test" if impl == "both" else impl
        parts.append(f"{label} {total} (" + ", ".join(f"{n} {o}" for o, n in counts.items()) + ")")
    terminalreporter.write_line("behaviour tests run against each side: " + "; ".join(parts))
