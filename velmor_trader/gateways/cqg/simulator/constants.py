"""Enumeration members of the simulated API, as ``win32com.client.constants``
offers them.

The connection states keep the numbers the real server uses; every other
member gets a number of its own, distinct across all enumerations, so that a
client comparing a value with a member of the wrong enumeration never matches
by accident.
"""

_ENUMERATIONS = {
    # connection states (fixed numbers)
    "cs": ["csConnectionUp", "csConnectionDelayed", "csConnectionDown",
           "csConnectionTrouble", "csConnectionNotLoggedOn"],
    "ds": ["dsNone", "dsQuotes", "dsQuotesAndBBA"],
    "qt": ["qtAsk", "qtBid", "qtCohUndAsk", "qtCohUndBid", "qtDayHigh",
           "qtDayLow", "qtDayOpen", "qtImpliedAsk", "qtImpliedBid",
           "qtIndicativeOpen", "qtMarker", "qtOutrightAsk", "qtOutrightBid",
           "qtSettlement", "qtTodayMarker", "qtTrade",
           "qtYesterdaySettlement"],
    "tpt": ["tptAsk", "tptBid", "tptSettlement", "tptTrade"],
    "trt": ["trtCurrentNotify", "trtCurrentNoNotify"],
    "tf": ["tfAll"],
    "hp": ["hpDaily"],
    "pfds": ["pfds1Min"],
    "dbc": ["dbcLastQuoteOrSettlement"],
    "tbr": ["tbrContractVolume", "tbrCommodityVolume"],
    "ot": ["otLimit", "otMarket", "otStop"],
    "osd": ["osdUndefined", "osdBuy", "osdSell"],
    "os": ["osActiveAt", "osContingent", "osInCancel", "osInClient",
           "osInModify", "osInTransit", "osNotSent", "osParked",
           "osInOrderBook", "osFilled", "osBusted", "osCanceled",
           "osRejectFCM", "osRejectGW", "osDisconnected", "osExpired",
           "osInTransitTimeout"],
    "op": ["opGWStatus", "opGUID", "opEventServerTimestamp",
           "opAverageFillPrice", "opFilledQuantity", "opOrderType", "opSide",
           "opQuantity", "opLimitPrice", "opStopPrice", "opInstrumentName",
           "opGWAccountID"],
    "ct": ["ctAdded", "ctChanged", "ctRemoved"],
    "fs": ["fsNormal", "fsCanceled", "fsBusted", "fsCorrected"],
    "asl": ["aslNone", "aslAccountUpdatesAndOrders"],
    "psl": ["pslNoPositions", "pslSnapshotAndUpdates"],
    "act": ["actAccountsReloaded", "actAccountChanged", "actPositionAdded",
            "actPositionChanged"],
}


class Constants:
    """Attribute access to every enumeration member (read-only)."""

    def __init__(self):
        values = {}
        for block, (prefix, members) in enumerate(_ENUMERATIONS.items()):
            base = 0 if prefix == "cs" else 100 * block
            for offset, name in enumerate(members):
                values[name] = base + offset
        object.__setattr__(self, "_values", values)

    def __getattr__(self, name):
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        raise AttributeError("enumeration members are read-only")

    def __dir__(self):
        return sorted(self._values)

    def name_of(self, value, prefix):
        """The member of the enumeration ``prefix`` whose value is ``value``."""
        for name in _ENUMERATIONS[prefix]:
            if self._values[name] == value:
                return name
        raise KeyError(value)


constants = Constants()
