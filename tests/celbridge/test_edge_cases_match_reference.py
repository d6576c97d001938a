"""Edge cases played on the native client and the plain reference alike:
each must leave the same log on both (see conftest.run)."""
import pytest

from cel_fakes import EP, stub


def logon_timeout_and_types(h):
    h.call("Logon", "u", "p")
    h.call("Logon", None, "p")
    h.call("Logon", "u", b"p")


def logoff(h):
    stub(h.cel, Accounts=[h.com("A1", GWAccountID=16001, GWAccountName="A1")])
    h.call("Logoff")                            # no account selected yet
    h.client.GWAccountID = 16001.0
    h.client.eventGatewayIsDown.set()           # an earlier drop does not count
    h.call("Logoff")
    h.client.GWAccountID = 5                    # unknown: fails after logging off
    h.call("Logoff")


def account_lookup(h):
    stub(h.cel, Accounts=[h.com(n, GWAccountID=i, GWAccountName=n)
                          for i, n in ((7, "first"), (16001, "A"), (16001, "B"))])
    h.call("get_account_from_gwaccountid", 16001.9)
    h.call("get_account_from_gwaccountid", GWAccountID=5)
    h.call("get_account_from_gwaccountid", "16001")


def connection_events(h):
    for state in ("csConnectionDelayed", "csConnectionTrouble", "csConnectionNotLoggedOn",
                  "csConnectionDown", "csConnectionUp"):
        h.call("OnGWConnectionStatusChanged", h.K[state])
        h.log.append((h.client.eventGatewayIsUp.is_set(), h.client.eventGatewayIsDown.is_set()))
    h.call("OnDataConnectionStatusChanged", h.K["csConnectionDelayed"])
    h.call("OnDataError", None, "ignored")
    h.call("OnDataError", h.com("error", Code=42, Description="bad feed"), "ignored")


def quote_subscription(h):
    stub(h.cel, Instruments=[h.com("F.US.EPZ4", FullName="F.US.EPZ4")])
    h.call("subscribe_quote", "EPZ4")           # no answer: returns after the wait
    h.call("OnInstrumentResolved", "EPZ4", h.com("i"), h.com("error"))
    h.call("OnInstrumentResolved", "EPZ4", h.com("i"), None)
    h.call("unsubscribe_quote", "ENQZ4")
    h.call("unsubscribe_quote", "EPZ4")
    h.call("subscribe_quote", 4)
    h.log.append(h.client.eventQuoteDone.is_set())


def quote_stream(h):
    instrument = h.com("instrument", FullName="F.US.EPZ4")
    for quotes in ([("qtBid", 5950.0)],                       # no ask yet: cached only
                   [("qtAsk", 5950.25), ("qtDayHigh", 5951.0)],
                   [("qtSettlement", 1.0), ("qtMarker", 2.0), ("qtDayOpen", 5949.0)],
                   [("qtTrade", 5950.5, False), ("qtYesterdaySettlement", 5940.0),
                    ("qtDayLow", 5948.0)],
                   [(-5, 1.0), ("qtTrade", 1.0)]):            # unknown type: KeyError
        h.call("OnInstrumentChanged", instrument, [h.quote(*q) for q in quotes], None)
    h.call("OnInstrumentChanged", h.com("x", FullName="F.US.ZZZ"), [h.quote("qtTrade", 1.0)], None)
    h.call("OnInstrumentChanged", h.com("x", FullName="ENQZ4"), [h.quote("qtTrade", 1.0)], None)
    del h.gateway.cqg_quotes[EP]
    h.call("OnInstrumentChanged", instrument, [h.quote("qtTrade", 1.0)], None)


def quote_trade_alone(h):
    h.call("OnInstrumentChanged", h.com("i", FullName="F.US.EPZ4"),
           [h.quote("qtTrade", 5950.5), h.quote("qtMarker", 1.0)], None)


def account_subscription(h):
    summary = h.com("summary", **{n: (lambda row, n=n: (h.log.append((n, row)), 10 + row)[1])
                                  for n in ("Balance", "Collaterals", "NLV", "MaintenanceMargin",
                                            "ProfitLoss", "UPL")})
    positions = h.com("positions", Count=0)
    stub(h.cel, Accounts=[h.com("A", GWAccountID=16001, GWAccountName="A", Summary=summary,
                                Positions=positions)])
    h.call("subscribe_account_and_positions", 99)        # unknown, after a timed-out wait
    h.call("OnAccountChanged", h.K["actAccountsReloaded"], None, None)
    h.call("subscribe_account_and_positions", 16001.0)   # ready: no new wait
    h.call("unsubscribe_account_and_positions", 16001)
    h.call("unsubscribe_account_and_positions", 3)
    h.call("subscribe_account_and_positions", "16001")
    h.log.append(h.client.GWAccountID)


def account_events(h):
    position = h.com("p", InstrumentName="F.US.EPZ4", AveragePrice=5950.25, Quantity=2,
                     OTE=12.5, ProfitLoss=-3.0)
    for change in ("actPositionAdded", "actPositionChanged", "actAccountChanged"):
        h.call("OnAccountChanged", h.K[change], h.com("a", GWAccountName="A"), position)
    h.log.append(h.client.eventAccountIsReady.is_set())


def balance_failures(h):
    h.call("update_account_balance")            # no account selected
    h.client.GWAccountID = 5                    # unknown: Summary of None
    h.call("update_account_balance")
    h.log.append(h.client.account_balance)
    h.call("update_positions")


def order_events(h):
    for change, status, fill in (("ctChanged", "osFilled", "fsNormal"), ("ctRemoved", "osCanceled", None),
                                 ("ctChanged", "osBusted", "fsBusted"), ("ctAdded", "osInTransit", "fsNormal"),
                                 ("ctAdded", "osInTransit", "fsNormal"),   # flag set: not ours
                                 ("actAccountChanged", "osInOrderBook", "fsNormal"),
                                 ("ctChanged", -1, "fsNormal")):          # outside the table
        order = h.order_event("G-1", status)
        h.call("OnOrderChanged", h.K.get(change, change), order, None,
               h.fill(order, fill) if fill else None, None)
    h.call("OnOrderChanged", h.K["ctChanged"], h.order_event("G-2", "osFilled"), None, None,
           h.com("error"))
    h.log.append(h.client.order_id)


def cancel(h):
    found = h.com("found")
    stub(found, Cancel=lambda: h.log.append(("Cancel",)))
    stub(h.cel, Orders=h.com("orders", ItemByGuid=lambda guid: (h.log.append(guid), found)[1]))
    h.call("cancel_order", "G-1")
    h.call("cancel_order", None)


SCENARIOS = [logon_timeout_and_types, logoff, account_lookup, connection_events,
             quote_subscription, quote_stream, quote_trade_alone, account_subscription,
             account_events, balance_failures, order_events, cancel]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda s: s.__name__)
def test_same_behaviour_as_the_reference(run, scenario):
    h = run(scenario, timeout=0.05)
    assert h.log


def test_argument_and_lookup_texts(run):
    h = run(lambda h: (logon_timeout_and_types(h), account_lookup(h)), timeout=0.05)
    errors = [e[3] for e in h.log if e[0] == "raise"]
    assert errors == [
        "Argument 'user_name' has incorrect type (expected str, got NoneType)",
        "Argument 'password' has incorrect type (expected str, got bytes)",
        "Argument 'GWAccountID' has incorrect type (expected int, got str)"]
    traces = [e[1] for e in h.log if e[0] == "Trace"]
    assert traces[2:5] == ["GW Account id: 7 name: first", "GW Account id: 16001 name: A",
                           "[Found] GW Account id: 16001 name: A"]
    assert ("Assert", False, "GW connection timeout!") in h.log
