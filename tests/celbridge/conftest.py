import importlib.util
import pathlib

import pytest

from velmor_trader.gateways.cqg.simulator import install_win32com

from cel_fakes import Harness

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def modules():
    """The native client and the plain-Python reference of the benchmark."""
    install_win32com()
    from velmor_trader.gateways.cqg.wrapper import celbridge
    spec = importlib.util.spec_from_file_location(
        "celbridge_ref", ROOT / "bench" / "pure" / "celbridge_py.py")
    ref = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(ref)
    return {"native": celbridge, "plain": ref}


@pytest.fixture(scope="session")
def cb(modules):
    return modules["native"]


@pytest.fixture
def run(modules):
    """run(scenario) plays ``scenario(harness)`` on both clients, checks that
    they leave the same log (calls, writes, traces, prints, results, errors
    and their texts) and returns the native harness."""
    def play(scenario, timeout=5.0):
        done = {}
        for name, module in modules.items():
            done[name] = Harness(module, timeout)
            try:
                scenario(done[name])
            finally:
                done[name].close()
        assert done["native"].log == done["plain"].log
        return done["native"]
    return play
