"""Construction, logon and logoff, the account lookup and the connection
events, on the native client and the plain reference alike."""
from types import SimpleNamespace

import pytest

from cel_fakes import EP, stub


def test_module_surface(cb):
    assert cb.TIMEOUT == 10 and cb.INVALID_VALUE == -2147483648
    assert str(cb.TIMEZONE) == "Asia/Hong_Kong"
    assert cb.lock.acquire(False) and cb.lock.release() is None
    assert cb.CelBridge.__bases__ == (cb.CELSinkBase,)
    assert cb.CelBridge.__doc__ == "CQG Integrated Client API"
    members = [n for n in vars(cb.CelBridge) if not n.startswith("__") or n == "__init__"]
    assert members[:4] == ["__init__", "Init", "Logon", "Logoff"]
    assert members[-3:] == ["OnOrderChanged", "OnGWConnectionStatusChanged",
                            "OnDataConnectionStatusChanged"]
    assert len(members) == 36
    assert cb.CelBridge.subscribe_bar.__defaults__ == ("1Min",)
    assert cb.CelBridge.place_order.__annotations__ == {"order": "Order", "return": "str"}
    assert cb.CelBridge.unsubscribe_bar.__wrapped__.__qualname__ == "CelBridge.unsubscribe_bar"
    assert "csConnectionTrouble      3" in cb.CelBridge.OnGWConnectionStatusChanged.__doc__


def test_fresh_client_state(cb):
    client = cb.CelBridge()
    events = [client.eventGatewayIsUp, client.eventGatewayIsDown, client.eventAccountIsReady,
              client.eventOrderPlaced, client.eventQuoteDone, client.eventOrderbookDone,
              client.eventBarDone]
    assert len({id(e) for e in events}) == 7 and not any(e.is_set() for e in events)
    assert (client.subscribe_bars_data, client.positions, client.order_id) == ({}, [], None)
    assert client.account_balance == cb.AccountBalance()
    assert not hasattr(client, "gateway")


def _logon_answered(h):
    stub(h.cel, GWLogon=lambda u, p: (h.log.append(("call", "GWLogon", u, p)), h.when_logged(
        ("Trace", "Waiting for GW connection..."),
        lambda: h.client.OnGWConnectionStatusChanged(h.C._values["csConnectionUp"]))))
    h.call("Logon", "trader", "secret")
    h.call("Logon", "trader", "secret")        # up once: no new wait


def test_logon_waits_for_the_event_thread(run):
    h = run(_logon_answered)
    assert h.log[:5] == [("Trace", "Connecting to GW"), ("call", "GWLogon", "trader", "secret"),
                         ("Trace", "Waiting for GW connection..."), ("Trace", "GW connection is UP!"),
                         ("Assert", True, "GW connection timeout!")]
    assert h.log[-2:] == [("Assert", True, "GW connection timeout!"), ("return", "Logon", None)]


def test_logon_timeout_and_argument_types(run):
    h = run(lambda h: (h.call("Logon", "u", "p"), h.call("Logon", None, "p"),
                       h.call("Logon", "u", b"p")), timeout=0.05)
    assert ("Assert", False, "GW connection timeout!") in h.log
    assert h.log[-2][3] == "Argument 'user_name' has incorrect type (expected str, got NoneType)"
    assert h.log[-1][3] == "Argument 'password' has incorrect type (expected str, got bytes)"


def _logoff(h, account_id=16001, answer=True):
    stub(h.cel, Accounts=[h.account(16001, "A1"), h.account(16001, "A1-dup")])
    h.call("Logoff")                            # no account selected yet
    h.client.GWAccountID = account_id
    h.client.eventGatewayIsDown.set()           # an earlier drop must not count
    if answer:
        stub(h.cel, GWLogoff=lambda: (h.log.append(("call", "GWLogoff")), h.when_logged(
            ("call", "GWLogoff"),
            lambda: h.client.OnGWConnectionStatusChanged(h.C._values["csConnectionDown"]))))
    h.call("Logoff")


@pytest.mark.parametrize("account_id, answer", [(16001, True), (16001, False), (99, True)])
def test_logoff(run, account_id, answer):
    h = run(lambda h: _logoff(h, account_id, answer), timeout=5.0 if answer else 0.05)
    assert h.log[:2] == [("Trace", "Logoff from GW"),
                         ("raise", "Logoff", "AttributeError", h.log[1][3])]
    assert "GWAccountID" in h.log[1][3]
    assert ("Assert", answer, "GW disconnection timeout!") in h.log
    if account_id == 16001:
        assert h.log[-2:] == [("Trace", "Successfully logoff account A1"),
                              ("return", "Logoff", None)]
    else:
        assert h.log[-1][:3] == ("raise", "Logoff", "AttributeError")


def _lookups(h):
    stub(h.cel, Accounts=[h.account(7, "first"), h.account(16001, "A"), h.account(16001, "B")])
    h.call("get_account_from_gwaccountid", 16001.9)     # truncated to 16001
    h.call("get_account_from_gwaccountid", GWAccountID=5)
    h.call("get_account_from_gwaccountid", "16001")


def test_account_lookup_first_match_and_traces(run):
    h = run(_lookups)
    assert h.log[:5] == [("Dispatch", ["account first", "account A", "account B"]), ("Trace", "GW Account id: 7 name: first"),
                         ("Trace", "GW Account id: 16001 name: A"),
                         ("Trace", "[Found] GW Account id: 16001 name: A"),
                         ("return", "get_account_from_gwaccountid", "account A")]
    assert [e for e in h.log[5:] if e[0] == "Trace"][-1] == ("Trace", "GW Account id: 16001 name: B")
    assert h.log[-2] == ("return", "get_account_from_gwaccountid", None)
    assert h.log[-1][3] == "Argument 'GWAccountID' has incorrect type (expected int, got str)"


def _connection_states(h):
    C = h.C._values
    for state in ("csConnectionDelayed", "csConnectionTrouble", "csConnectionNotLoggedOn"):
        h.client.OnGWConnectionStatusChanged(C[state])
    h.log.append(("flags", h.client.eventGatewayIsUp.is_set(), h.client.eventGatewayIsDown.is_set()))
    h.client.OnGWConnectionStatusChanged(C["csConnectionDown"])
    h.client.OnGWConnectionStatusChanged(C["csConnectionUp"])
    h.log.append(("flags", h.client.eventGatewayIsUp.is_set(), h.client.eventGatewayIsDown.is_set()))
    h.client.OnDataConnectionStatusChanged(C["csConnectionDelayed"])
    h.client.OnDataError(None, "ignored")
    h.client.OnDataError(h.account(0, "err", Code=42, Description="bad feed"), "ignored")


def test_connection_and_data_events(run):
    h = run(_connection_states)
    assert h.log == [("flags", False, False), ("Trace", "GW connection is DOWN!"),
                     ("Trace", "GW connection is UP!"), ("flags", True, True),
                     ("print", "DataConnectionStatus=1"), ("Dispatch", "account err"),
                     ("Trace", "OnDataError: Code: 42 Description: bad feed")]


def test_constants_are_read_when_used(run):
    def scenario(h):
        h.C._values["csConnectionUp"] = 77       # the COM layer changed its mind
        h.client.OnGWConnectionStatusChanged(0)
        h.client.OnGWConnectionStatusChanged(77)
    h = run(scenario)
    assert h.log == [("Trace", "GW connection is UP!")]
    assert h.reads == ["csConnectionUp", "csConnectionDown"] * 2
    assert EP.code == "EPZ4"


class Lock:
    """Stands in for threading.Lock, whose __enter__ is its acquire."""

    def __init__(self, log):
        self.log = log

    def acquire(self):
        self.log.append(("acquire",))

    def release(self):
        self.log.append(("release",))

    __enter__ = acquire

    def __exit__(self, *exc):
        self.release()


def test_module_names_are_looked_up_at_call_time(run):
    def scenario(h):
        m, saved = h.module, dict(h.module.__dict__)
        try:
            m.QuoteType2String = lambda kind: "Best bid"
            m.convert_orderstatus_cqg2vl = lambda status: ("mapped", status)
            m.Quote = lambda **kw: ("Quote", sorted(kw))
            m.replace = lambda record, **kw: record + (sorted(kw),)
            m.__dict__["lock"] = Lock(h.log)
            instrument = h.account(0, "i", FullName="F.US.EPZ4")
            h.call("OnInstrumentChanged", instrument, [h.quote("qtTrade", 1.0)], None)
            order = h.order_event("G", 5)
            h.call("OnOrderChanged", h.C._values["ctChanged"], order, None, None, None)
            h.call("update_account_balance")
        finally:
            m.__dict__.clear()
            m.__dict__.update(saved)
    h = run(scenario)
    assert h.gateway.cqg_quotes[EP] == ("Quote", ["datetime", "exchange", "security"],
                                        ["bid_price", "datetime"])
    assert [e[1]["status"] for e in h.log if e[0] == "gw.order"] == [("mapped", 5)]
    assert h.log[-4:] == [("acquire",), ("print", h.log[-3][1]), ("release",),
                          ("return", "update_account_balance", None)]
