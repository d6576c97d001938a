import pytest

from velmor_trader.gateways.cqg.simulator import install_win32com

from cel_fakes import Harness


@pytest.fixture(scope="session")
def modules():
    """The native client and its plain-Python twin."""
    install_win32com()
    from velmor_trader.gateways.cqg.wrapper import celbridge
    from velmor_trader.twins import celbridge as twin
    return {"native": celbridge, "twin": twin}


@pytest.fixture
def cb(impl, modules):
    """The client module under test: native or its twin."""
    return modules[impl]


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
        assert done["native"].log == done["twin"].log
        return done["native"]
    return play
