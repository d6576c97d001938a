"""Account subscription, the balance and position views, account events."""
import threading

import pytest

from cel_fakes import EP, NOW, Com, method, stub
from velmor_trader.core.constants import Direction


def _summary(h, figures):
    def figure(name):
        def call(row):
            h.log.append(("summary", name, row))
            return figures[name] * 10 + row
        return call
    return Com(h.log, "summary", **{n: figure(n) for n in figures})


FIGURES = {"Balance": 1000, "Collaterals": 300, "NLV": 900, "MaintenanceMargin": 200,
           "ProfitLoss": 7, "UPL": -5}


def _position(h, name, quantity, side="osdBuy"):
    return Com(h.log, name, InstrumentName=name, Quantity=quantity, AveragePrice=5950.25,
               Side=h.C._values.get(side, side), OTE=12.5, ProfitLoss=-3.0)


def _account(h, positions=()):
    positions = list(positions)
    collection = Com(h.log, "positions", Count=len(positions),
                     ItemByIndex=lambda i: positions[i])
    account = h.account(16001, "A", Summary=_summary(h, FIGURES), Positions=collection)
    stub(h.cel, Accounts=[account])
    return account


def _subscribe(h, ready=True, gw_id=16001):
    _account(h, [_position(h, "F.US.EPZ4", -3, "osdSell")])
    if ready:
        h.when_logged(("Trace", "Waiting for accounts coming..."), lambda: h.client.OnAccountChanged(
            h.C._values["actAccountsReloaded"], None, None))
    h.call("subscribe_account_and_positions", gw_id)


def test_subscription_order_of_calls(run):
    def scenario(h):
        _subscribe(h)
        h.call("subscribe_account_and_positions", 16001.0)      # ready already: no wait
    h = run(scenario)
    C = h.C._values
    assert h.log[:7] == [
        ("set", "cel", "AccountSubscriptionLevel", C["aslNone"]), ("sleep", 2),
        ("set", "cel", "AccountSubscriptionLevel", C["aslAccountUpdatesAndOrders"]),
        ("Trace", "Waiting for accounts coming..."), ("Trace", "OnAccountChanged - Accounts are ready!"),
        ("Assert", True, "Accounts coming timeout!"),
        ("Trace", "Select account 16001, subscribe to open positions.")]
    assert ("set", "account A", "AutoSubscribeInstruments", True) in h.log
    assert ("set", "account A", "PositionSubcriptionLevel", C["pslSnapshotAndUpdates"]) in h.log
    assert h.log.count(("Assert", True, "Accounts coming timeout!")) == 2
    assert h.client.GWAccountID == 16001 and type(h.client.GWAccountID) is int


def test_unknown_account_after_a_timed_out_wait(run):
    h = run(lambda h: _subscribe(h, ready=False, gw_id=99), timeout=0.05)
    assert ("Assert", False, "Accounts coming timeout!") in h.log
    assert h.log[-1] == ("raise", "subscribe_account_and_positions", "ValueError",
                         "GWAccountID 99 can not be found!")
    assert h.client.GWAccountID == 99


def test_balance_mapping_under_the_lock(run, cb):
    seen = []

    def scenario(h):
        account = _account(h)
        h.client.GWAccountID = 16001
        # Every figure is read while the module's lock is held.
        stub(account.Summary, UPL=lambda row: (seen.append(h.module.lock.locked()), -50)[1])
        h.call("update_account_balance")
    h = run(scenario)
    assert [e for e in h.log if e[0] == "summary"] == [
        ("summary", "Balance", 0), ("summary", "Collaterals", 1), ("summary", "NLV", 0),
        ("summary", "MaintenanceMargin", 1), ("summary", "ProfitLoss", 0)]
    b = h.client.account_balance
    assert (b.cash, b.available_cash, b.net_cash_power, b.maintenance_margin, b.realized_pnl,
            b.unrealized_pnl) == (10000, 10000 - 3001, 9000, 2001, 70, -50)
    assert b.cash_by_currency is None and b.max_power_short is None
    assert seen == [True, True] and not cb.lock.locked()


def test_balance_failure_is_printed(run, cb):
    def scenario(h):
        h.call("update_account_balance")            # no account selected
        h.client.GWAccountID = 5                    # unknown: Summary of None
        h.call("update_account_balance")
    h = run(scenario)
    prints = [e for e in h.log if e[0] == "print"]
    assert prints[0] == ("print", str(NOW) + ": 'CelBridge' object has no attribute 'GWAccountID'")
    assert prints[1] == ("print", str(NOW) + ": 'NoneType' object has no attribute 'Summary'")
    assert h.client.account_balance == cb.AccountBalance()
    assert h.log[-1] == ("return", "update_account_balance", None) and not cb.lock.locked()


def test_positions_mapping(run, cb):
    def scenario(h):
        _account(h, [_position(h, "F.US.EPZ4", -3, "osdSell"), _position(h, "F.US.ENQZ4", 0),
                     _position(h, "F.US.ZZZ", 4), _position(h, "ENQZ4", 1),
                     _position(h, "F.US.EPZ4", 2, "osdUndefined"), _position(h, "F.US.EPZ4", 9)])
        h.client.GWAccountID = 16001
        h.call("update_positions")
    h = run(scenario)
    p = h.client.positions
    assert [(x.security.code, x.direction, x.quantity, x.holding_price, x.update_time)
            for x in p] == [("EPZ4", Direction.SHORT, 3, 5950.25, NOW),
                            ("ENQZ4", Direction.LONG, 1, 5950.25, NOW)]
    assert h.log[-1] == ("raise", "update_positions", "ValueError",
                         "Return CQG Position Side %d is invalid!" % h.C._values["osdUndefined"])
    assert [e[1] for e in h.log if e[0] == "gw.security"] == ["EPZ4", "ZZZ", "ENQZ4", "EPZ4"]
    assert not cb.lock.locked()


def test_refreshes_never_interleave(cb, modules):
    """A positions refresh waits for a balance refresh that holds the lock,
    without holding the GIL: the balance refresh can finish meanwhile."""
    from cel_fakes import Harness
    h = Harness(cb)
    try:
        inside, release = threading.Event(), threading.Event()
        account = _account(h)
        h.client.GWAccountID = 16001
        stub(account.Summary, UPL=lambda row: (inside.set(), release.wait(5), 0)[2])
        balance = threading.Thread(target=h.client.update_account_balance)
        balance.start()
        assert inside.wait(5)
        positions = threading.Thread(target=h.client.update_positions)
        positions.start()
        positions.join(0.2)
        assert positions.is_alive()              # blocked on the lock
        release.set()
        balance.join(5), positions.join(5)
        assert not balance.is_alive() and not positions.is_alive()
    finally:
        h.close()


def test_unsubscribe(run):
    def scenario(h):
        _account(h)
        h.call("unsubscribe_account_and_positions", 16001)
        h.call("unsubscribe_account_and_positions", 3)
    h = run(scenario)
    C = h.C._values
    assert ("set", "account A", "PositionSubcriptionLevel", C["pslNoPositions"]) in h.log
    assert ("Trace", "Unsubscribe account 16001.") in h.log
    second = h.log.index(("return", "unsubscribe_account_and_positions", None)) + 1
    assert h.log[second] == ("set", "cel", "AccountSubscriptionLevel", C["aslNone"])
    assert h.log[-1] == ("raise", "unsubscribe_account_and_positions", "ValueError",
                         "GWAccountID 3 can not be found!")


@pytest.mark.parametrize("change, text", [
    ("actPositionAdded", "OnAccountChanged - open position is added for A account - instrument: "
                         "F.US.EPZ4 average price: 5950.25 quantity: 2 OTE: 12.5 PL: -3.0"),
    ("actPositionChanged", "OnAccountChanged - open position is changed for A account - "
                           "instrument: F.US.EPZ4 average price: 5950.25 quantity: 2 OTE: 12.5 PL: -3.0"),
    ("actAccountChanged", None),
])
def test_account_events(run, change, text):
    h = run(lambda h: h.call("OnAccountChanged", h.C._values[change], h.account(1, "A"),
                             _position(h, "F.US.EPZ4", 2)))
    traces = [e for e in h.log if e[0] == "Trace"]
    assert traces == ([("Trace", text)] if text else [])
    assert not h.client.eventAccountIsReady.is_set()
