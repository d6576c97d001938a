import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _run(code, extra_path=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (extra_path, ROOT) if p)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, env=env,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_importing_the_project_installs_nothing():
    out = _run("""
        import velmor_trader
        import velmor_trader.gateways.cqg.simulator
        import velmor_trader.gateways.cqg.wrapper.CELEnvironment
        try:
            import win32com
        except ImportError:
            print("missing")
        else:
            print("present")
    """)
    assert out == "missing"


def test_install_gives_dispatch_and_constants():
    out = _run("""
        from velmor_trader.gateways.cqg.simulator import (
            Simulator, install_win32com, uninstall_win32com)
        assert install_win32com() and install_win32com()
        import win32com.client
        sim = Simulator()
        assert win32com.client.Dispatch(sim.cel) is sim.cel
        c = win32com.client.constants
        print(c.csConnectionUp, c.csConnectionDown, c.csConnectionNotLoggedOn)
        try:
            win32com.client.Dispatch("Some.Server")
        except win32com.client.com_error:
            print("no server")
        uninstall_win32com()
        try:
            import win32com
        except ImportError:
            print("gone")
    """)
    assert out.splitlines() == ["0 2 4", "no server", "gone"]


def test_a_real_package_is_never_shadowed(tmp_path):
    package = tmp_path / "win32com"
    package.mkdir()
    (package / "__init__.py").write_text("REAL = True\n")
    out = _run("""
        from velmor_trader.gateways.cqg.simulator import install_win32com
        print(install_win32com())
        import win32com
        print(win32com.REAL)
    """, extra_path=str(tmp_path))
    assert out.splitlines() == ["False", "True"]


def test_constants_are_distinct_and_read_only():
    from velmor_trader.gateways.cqg.simulator import constants
    names = dir(constants)
    values = [getattr(constants, n) for n in names]
    assert len(set(values)) == len(values)
    assert [constants.csConnectionUp, constants.csConnectionDelayed,
            constants.csConnectionDown, constants.csConnectionTrouble,
            constants.csConnectionNotLoggedOn] == [0, 1, 2, 3, 4]
    with pytest.raises(AttributeError):
        constants.osFilled = 1
    with pytest.raises(AttributeError):
        constants.osNoSuchStatus


CLIENT_MEMBERS = (
    "csConnectionUp csConnectionDelayed csConnectionDown csConnectionTrouble "
    "csConnectionNotLoggedOn dsQuotesAndBBA qtAsk qtBid qtCohUndAsk "
    "qtCohUndBid qtDayHigh qtDayLow qtDayOpen qtImpliedAsk qtImpliedBid "
    "qtIndicativeOpen qtMarker qtOutrightAsk qtOutrightBid qtSettlement "
    "qtTodayMarker qtTrade qtYesterdaySettlement tptAsk tptBid tptSettlement "
    "tptTrade trtCurrentNotify tfAll hpDaily pfds1Min dbcLastQuoteOrSettlement "
    "tbrContractVolume tbrCommodityVolume otLimit otMarket otStop osdBuy "
    "osdSell osActiveAt osContingent osInCancel osInClient osInModify "
    "osInTransit osNotSent osParked osInOrderBook osFilled osBusted osCanceled "
    "osRejectFCM osRejectGW osDisconnected osExpired osInTransitTimeout "
    "opGWStatus opGUID opEventServerTimestamp opAverageFillPrice "
    "opFilledQuantity ctAdded ctChanged ctRemoved fsNormal aslNone "
    "aslAccountUpdatesAndOrders pslSnapshotAndUpdates pslNoPositions "
    "actPositionAdded actPositionChanged actAccountsReloaded").split()


def test_every_member_the_client_reads_exists():
    from velmor_trader.gateways.cqg.simulator import constants
    missing = [n for n in CLIENT_MEMBERS if not hasattr(constants, n)]
    assert missing == []
