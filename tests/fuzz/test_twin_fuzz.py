"""The seeded differential fuzz, on a bounded budget: each module's native
code against its plain twin. tools/twin-fuzz runs more."""

import pytest

import twinfuzz
from targets import TARGETS

# Seconds per module: about 60 s in all with the bot's (tests/bot).
BUDGET = {"security": 6, "tollbook": 8, "db": 12, "metrics": 8, "celbridge": 10}


@pytest.mark.parametrize("name", sorted(BUDGET))
def test_native_matches_twin(run_fuzz, name):
    if name == "celbridge":
        from celbridge_target import CelbridgeTarget as target_class
    else:
        target_class = TARGETS[name]
    run_fuzz(target_class(), BUDGET[name])


class Mutant(twinfuzz.Target):
    """A target whose 'native' side gets one case wrong: a list holding a
    3 after a 7."""
    name = "mutant"

    def __init__(self):
        super().__init__(native="native", twin="twin")

    def generate(self, rng):
        return [rng.randrange(10) for _ in range(rng.randrange(12))]

    def run(self, impl, case):
        wrong = impl == "native" and 7 in case and 3 in case[case.index(7):]
        return ("ok", sum(case) + (1 if wrong else 0))


def test_a_divergence_is_found_once_and_shrunk():
    report = twinfuzz.fuzz(Mutant(), cases=300, seed=1)
    assert report.divergent_cases > 1
    [(index, case, native, twin)] = report.divergences
    assert case == [7, 3] and native != twin
    assert report.cases == 300


def test_no_unsequenced_python_operations_in_native():
    """Two Python-visible operations as operands of one C++ call run in an
    order C++ leaves open; every such site is written as statements."""
    import pathlib
    import subprocess
    import sys
    scan = pathlib.Path(__file__).resolve().parents[2] / "tools" / "eval-order-scan"
    result = subprocess.run([sys.executable, str(scan)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout
