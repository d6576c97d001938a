import pytest

from intended import intended
import twinfuzz


@pytest.fixture(scope="session")
def run_fuzz():
    """run_fuzz(target, seconds, seed) fuzzes for a bounded time and fails
    with every distinct divergence found, shrunk."""
    def run(target, seconds, seed=0):
        report = twinfuzz.fuzz(target, seconds=seconds, seed=seed, intended=intended)
        assert not report.found, "\n".join(report.lines())
        assert report.cases > 0
        return report
    return run
