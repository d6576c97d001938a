# The plain-Python twin of velmor_trader.gateways.cqg.wrapper.celbridge, the
# broker client: the same namespace, texts and order of reads and calls as the
# native module.
#
# Written the way the behaviour reads, step by step: every enumeration member
# is read from ``win32com.client.constants`` where it is used, every quote and
# tick type is named again for each comparison.  Needs ``win32com.client``
# (on a machine without it, call
# ``velmor_trader.gateways.cqg.simulator.install_win32com()`` first).
import threading
import time
from datetime import datetime
from dataclasses import replace
from typing import Dict  # noqa: F401

import pytz
import win32com.client

from velmor_trader.core.order import Order  # noqa: F401
from velmor_trader.core.constants import Direction, OrderType, OrderStatus
from velmor_trader.core.position import PositionData
from velmor_trader.core.balance import AccountBalance
from velmor_trader.core.data import Quote, OrderBook, Bar
from velmor_trader.core.utility import safe_call
from velmor_trader.gateways import BaseGateway  # noqa: F401
from velmor_trader.gateways.cqg.wrapper.CELEnvironment import CELSinkBase
from velmor_trader.gateways.cqg.wrapper.CELEnvironment import Trace
from velmor_trader.gateways.cqg.wrapper.CELEnvironment import AssertMessage

TIMEOUT = 10
TIMEZONE = pytz.timezone("Asia/Hong_Kong")
INVALID_VALUE = -2147483648
lock = threading.Lock()


def _define():
    # The class, and the helpers its methods share: the native module's
    # helpers are C++ functions, which leave no name in its namespace, so
    # here they are this scope's, reached as closure cells.
    from velmor_trader.twins._host import at_module_level, exact, to_int

    def matches(text, cqg_symbol):
        """0: no match; 1: the symbol is part of the text; 2: the text is the
        symbol, or its last dot-separated part is."""
        if cqg_symbol not in text:
            return 0
        return 2 if text == cqg_symbol or text.split(".")[-1] == cqg_symbol else 1

    def find(collection, cqg_symbol, name_of):
        """The first item whose name matches the symbol exactly, else the first
        whose name contains it, else None."""
        result = None
        for item in collection:
            match = matches(name_of(item), cqg_symbol)
            if match == 2:
                return item
            if match and result is None:
                result = item
        return result

    def bar_time(stamp):
        return datetime(stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second)

    def own_guid(cqg_order):
        """The created order's GUID, or None when it has none to give."""
        try:
            guid = cqg_order.GUID
        except Exception:
            return None
        return guid if isinstance(guid, str) and guid else None

    class CelBridge(CELSinkBase):
        """CQG Integrated Client API"""

        def __init__(self):
            self.eventGatewayIsUp = threading.Event()
            self.eventGatewayIsDown = threading.Event()
            self.eventAccountIsReady = threading.Event()
            self.eventOrderPlaced = threading.Event()
            self.eventQuoteDone = threading.Event()
            self.eventOrderbookDone = threading.Event()
            self.eventBarDone = threading.Event()
            self.subscribe_bars_data = {}
            self.account_balance = AccountBalance()
            self.positions = []
            self.order_id = None
            # One placement at a time, and the GUID the running one waits for.
            self.lockOrderPlacement = threading.Lock()
            self.placing_order_id = None

        def Init(self, gateway: "BaseGateway"):
            self.celEnvironment = gateway.celEnvironment
            self.gateway = gateway

        def Logon(self, user_name: "str", password: "str"):
            exact(user_name, "user_name", str)
            exact(password, "password", str)
            Trace("Connecting to GW")
            self.celEnvironment.cqgCEL.GWLogon(user_name, password)
            Trace("Waiting for GW connection...")
            AssertMessage(self.eventGatewayIsUp.wait(TIMEOUT), "GW connection timeout!")

        def Logoff(self):
            Trace("Logoff from GW")
            account = self.get_account_from_gwaccountid(GWAccountID=self.GWAccountID)
            self.eventGatewayIsDown.clear()
            self.celEnvironment.cqgCEL.GWLogoff()
            AssertMessage(self.eventGatewayIsDown.wait(TIMEOUT), "GW disconnection timeout!")
            Trace("Successfully logoff account " + format(account.GWAccountName, ""))

        def get_instrument_from_cqg_symbol(self, cqg_symbol: "str"):
            exact(cqg_symbol, "cqg_symbol", str)
            return find(self.celEnvironment.cqgCEL.Instruments, cqg_symbol,
                         lambda instrument: instrument.FullName)

        def get_timedbars_from_cqg_symbol(self, cqg_symbol: "str"):
            exact(cqg_symbol, "cqg_symbol", str)
            return find(self.celEnvironment.cqgCEL.AllTimedBars, cqg_symbol,
                         lambda timedbars: timedbars.Request.Symbol)

        def get_ticks_from_cqg_symbol(self, cqg_symbol: "str"):
            exact(cqg_symbol, "cqg_symbol", str)
            return find(self.celEnvironment.cqgCEL.AllTicks, cqg_symbol,
                         lambda ticks: ticks.Request.Symbol)

        def get_account_from_gwaccountid(self, GWAccountID: "int"):
            GWAccountID = to_int(GWAccountID, "GWAccountID")
            accounts = win32com.client.Dispatch(self.celEnvironment.cqgCEL.Accounts)
            for account in accounts:
                Trace("GW Account id: {} name: {}".format(account.GWAccountID,
                                                        account.GWAccountName))
                if account.GWAccountID == GWAccountID:
                    Trace("[Found] GW Account id: {} name: {}".format(account.GWAccountID,
                                                                      account.GWAccountName))
                    return account
            return None

        def subscribe_quote(self, cqg_symbol: "str"):
            exact(cqg_symbol, "cqg_symbol", str)
            self.eventQuoteDone.clear()
            self.celEnvironment.cqgCEL.NewInstrument(cqg_symbol)
            Trace("Waiting for eventQuoteDone in subscribe_quote(" + cqg_symbol + ")...")
            self.eventQuoteDone.wait(TIMEOUT)
            Trace("eventQuoteDone is done.")

        def unsubscribe_quote(self, cqg_symbol: "str"):
            exact(cqg_symbol, "cqg_symbol", str)
            cqgQuote = self.get_instrument_from_cqg_symbol(cqg_symbol)
            if not cqgQuote:
                return None
            self.celEnvironment.cqgCEL.RemoveInstrument(cqgQuote)
            self.eventQuoteDone.clear()
            Trace("Successfully unsubscribe quote for " + cqg_symbol)

        def subscribe_orderbook(self, cqg_symbol: "str"):
            exact(cqg_symbol, "cqg_symbol", str)
            request = win32com.client.Dispatch(self.celEnvironment.cqgCEL.CreateTicksRequest())
            request.Symbol = cqg_symbol
            request.Type = win32com.client.constants.trtCurrentNotify
            request.TickFilter = win32com.client.constants.tfAll
            request.SessionsFilter = 31
            request.Limit = 10
            Trace("Limit: {}".format(request.Limit))
            self.eventOrderbookDone.clear()
            self.celEnvironment.cqgCEL.RequestTicks(request)
            Trace("Waiting for eventOrderbookDone in subscribe_orderbook(" + cqg_symbol + ")...")
            self.eventOrderbookDone.wait(TIMEOUT)
            Trace("eventOrderbookDone is done.")

        def unsubscribe_orderbook(self, cqg_symbol: "str"):
            exact(cqg_symbol, "cqg_symbol", str)
            cqgOrderbooks = self.get_ticks_from_cqg_symbol(cqg_symbol)
            if not cqgOrderbooks:
                return None
            self.celEnvironment.cqgCEL.RemoveTicks(cqgOrderbooks)
            self.eventOrderbookDone.clear()
            Trace("Successfully unsubscribe orderbook for " + cqg_symbol)

        def subscribe_bar(self, cqg_symbol: "str", lookback_period: "int", freq: "str" = "1Min"):
            exact(cqg_symbol, "cqg_symbol", str)
            lookback_period = to_int(lookback_period, "lookback_period")
            exact(freq, "freq", str)
            FREQ_ALLOWED = ("1Day", "1Min")
            if freq not in FREQ_ALLOWED:
                raise ValueError("Parameter freq=" + freq + " is Not supported. Only "
                                 + str(FREQ_ALLOWED) + " are allowed.")
            Trace("Create " + freq + " timed bars request for " + cqg_symbol)
            request = win32com.client.Dispatch(self.celEnvironment.cqgCEL.CreateTimedBarsRequest())
            request.Symbol = cqg_symbol
            request.RangeStart = 0
            request.RangeEnd = -lookback_period - 1
            if freq == "1Day":
                request.HistoricalPeriod = win32com.client.constants.hpDaily
            elif freq == "1Min":
                request.IntradayPeriod = win32com.client.constants.pfds1Min
            request.DailyBarClose = win32com.client.constants.dbcLastQuoteOrSettlement
            request.UpdatesEnabled = True
            request.IncludeOutput(win32com.client.constants.tbrContractVolume, True)
            request.IncludeOutput(win32com.client.constants.tbrCommodityVolume, True)
            request.SessionsFilter = "all"
            self.eventBarDone.clear()
            self.celEnvironment.cqgCEL.RequestTimedBars(request)
            Trace("Waiting for eventBarDone in subscribe_bar(" + cqg_symbol + ")...")
            self.eventBarDone.wait(TIMEOUT)
            Trace("eventBarDone is done.")

        @safe_call
        def unsubscribe_bar(self, cqg_symbol: "str"):
            exact(cqg_symbol, "cqg_symbol", str)
            cqgTimedBars = self.get_timedbars_from_cqg_symbol(cqg_symbol)
            if not cqgTimedBars:
                return None
            self.celEnvironment.cqgCEL.RemoveTimedBars(cqgTimedBars)
            security = self.gateway.get_vl_security_from_cqg_symbol(cqg_symbol)
            self.eventBarDone.clear()
            self.subscribe_bars_data.pop(security, None)
            Trace("Successfully unsubscribe timedbar for " + cqg_symbol)

        def subscribe_account_and_positions(self, GWAccountID: "int"):
            GWAccountID = to_int(GWAccountID, "GWAccountID")
            self.celEnvironment.cqgCEL.AccountSubscriptionLevel = win32com.client.constants.aslNone
            time.sleep(2)
            self.celEnvironment.cqgCEL.AccountSubscriptionLevel = (
                win32com.client.constants.aslAccountUpdatesAndOrders)
            Trace("Waiting for accounts coming...")
            AssertMessage(self.eventAccountIsReady.wait(TIMEOUT), "Accounts coming timeout!")
            Trace("Select account " + format(GWAccountID, "") + ", subscribe to open positions.")
            self.GWAccountID = GWAccountID
            account = self.get_account_from_gwaccountid(GWAccountID)
            if account is None:
                raise ValueError("GWAccountID " + format(GWAccountID, "") + " can not be found!")
            account.AutoSubscribeInstruments = True
            account.PositionSubcriptionLevel = win32com.client.constants.pslSnapshotAndUpdates
            self.update_account_balance()
            self.update_positions()

        def unsubscribe_account_and_positions(self, GWAccountID: "int"):
            GWAccountID = to_int(GWAccountID, "GWAccountID")
            self.celEnvironment.cqgCEL.AccountSubscriptionLevel = win32com.client.constants.aslNone
            account = self.get_account_from_gwaccountid(GWAccountID)
            if account is None:
                raise ValueError("GWAccountID " + format(GWAccountID, "") + " can not be found!")
            account.AutoSubscribeInstruments = False
            account.PositionSubcriptionLevel = win32com.client.constants.pslNoPositions
            Trace("Unsubscribe account " + format(GWAccountID, "") + ".")

        def update_account_balance(self):
            with lock:
                try:
                    account = self.get_account_from_gwaccountid(self.GWAccountID)
                    self.account_balance = AccountBalance()
                    cash = account.Summary.Balance(0)
                    collaterals = account.Summary.Collaterals(1)
                    available_cash = cash - collaterals
                    net_cash_power = account.Summary.NLV(0)
                    maintenance_margin = account.Summary.MaintenanceMargin(1)
                    realized_pnl = account.Summary.ProfitLoss(0)
                    unrealized_pnl = account.Summary.UPL(0)
                    self.account_balance.cash = cash
                    self.account_balance.cash_by_currency = None
                    self.account_balance.available_cash = available_cash
                    self.account_balance.max_power_short = None
                    self.account_balance.net_cash_power = net_cash_power
                    self.account_balance.maintenance_margin = maintenance_margin
                    self.account_balance.realized_pnl = realized_pnl
                    self.account_balance.unrealized_pnl = unrealized_pnl
                except Exception as e:
                    print(format(datetime.now(), "") + ": " + format(e, ""))

        def update_positions(self):
            with lock:
                self.positions = []
                account = self.get_account_from_gwaccountid(GWAccountID=self.GWAccountID)
                count = account.Positions.Count
                for i in range(count):
                    position = account.Positions.ItemByIndex(i)
                    if not position.Quantity:
                        continue
                    cqg_symbol = position.InstrumentName.split(".")[-1]
                    security = self.gateway.get_vl_security_from_cqg_symbol(cqg_symbol)
                    if security is None:
                        continue
                    if position.Side == win32com.client.constants.osdBuy:
                        direction = Direction.LONG
                    elif position.Side == win32com.client.constants.osdSell:
                        direction = Direction.SHORT
                    else:
                        raise ValueError("Return CQG Position Side " + format(position.Side, "")
                                         + " is invalid!")
                    self.positions.append(PositionData(
                        security=security, direction=direction,
                        holding_price=position.AveragePrice, quantity=abs(position.Quantity),
                        update_time=datetime.now()))

        def get_subscribe_bars_data(self, security):
            bars = self.subscribe_bars_data.get(security)
            if bars is None or len(bars) == 0:
                return None
            for i in range(1, len(bars)):
                bar, prev_bar = bars[i], bars[i - 1]
                bar.open = (prev_bar.open if bar.open == INVALID_VALUE
                            and prev_bar.open != INVALID_VALUE else bar.open)
                bar.high = (prev_bar.high if bar.high == INVALID_VALUE
                            and prev_bar.high != INVALID_VALUE else bar.high)
                bar.low = (prev_bar.low if bar.low == INVALID_VALUE
                           and prev_bar.low != INVALID_VALUE else bar.low)
                bar.close = (prev_bar.close if bar.close == INVALID_VALUE
                             and prev_bar.close != INVALID_VALUE else bar.close)
                bar.volume = (prev_bar.volume if bar.volume == INVALID_VALUE
                              and prev_bar.volume != INVALID_VALUE else bar.volume)
                bars[i] = bar
            for i in range(len(bars) - 2, -1, -1):
                bar, next_bar = bars[i], bars[i + 1]
                bar.open = (next_bar.open if bar.open == INVALID_VALUE
                            and next_bar.open != INVALID_VALUE else bar.open)
                bar.high = (next_bar.high if bar.high == INVALID_VALUE
                            and next_bar.high != INVALID_VALUE else bar.high)
                bar.low = (next_bar.low if bar.low == INVALID_VALUE
                           and next_bar.low != INVALID_VALUE else bar.low)
                bar.close = (next_bar.close if bar.close == INVALID_VALUE
                             and next_bar.close != INVALID_VALUE else bar.close)
                bar.volume = (next_bar.volume if bar.volume == INVALID_VALUE
                              and next_bar.volume != INVALID_VALUE else bar.volume)
                bars[i] = bar
            last_bar = bars[-1]
            if (last_bar.open == INVALID_VALUE or last_bar.high == INVALID_VALUE
                    or last_bar.low == INVALID_VALUE or last_bar.close == INVALID_VALUE
                    or last_bar.volume == INVALID_VALUE):
                raise ValueError("The latest bar is INVALID: " + format(last_bar, "") + ".")
            return bars

        def OnDataError(self, cqgError, errorDescription):
            if cqgError is None:
                return
            error = win32com.client.Dispatch(cqgError)
            Trace("OnDataError: Code: {} Description: {}".format(error.Code, error.Description))

        def OnInstrumentResolved(self, symbol, cqgInstrument, cqgError):
            if cqgError is not None:
                if not self.eventQuoteDone.is_set():
                    self.eventQuoteDone.set()
                return
            instrument = win32com.client.Dispatch(cqgInstrument)
            instrument.DataSubscriptionLevel = win32com.client.constants.dsQuotesAndBBA
            if not self.eventQuoteDone.is_set():
                self.eventQuoteDone.set()

        def OnInstrumentChanged(self, cqgInstrument, cqgQuotes, cqgInstrumentProperties):
            instrument = win32com.client.Dispatch(cqgInstrument)
            quotes = win32com.client.Dispatch(cqgQuotes)
            for quote in quotes:
                if not quote.IsValid:
                    continue
                cqg_symbol = instrument.FullName.split(".")[-1]
                security = self.gateway.get_vl_security_from_cqg_symbol(cqg_symbol)
                if security is None:
                    continue
                vl_quote = self.gateway.cqg_quotes[security]
                if vl_quote is None:
                    vl_quote = Quote(security=security, exchange=security.exchange,
                                     datetime=datetime.now())
                if QuoteType2String(quote.Type) == "Last trade price":
                    vl_quote = replace(vl_quote, last_price=quote.price, datetime=datetime.now())
                elif QuoteType2String(quote.Type) == "Best bid":
                    vl_quote = replace(vl_quote, bid_price=quote.price, datetime=datetime.now())
                elif QuoteType2String(quote.Type) == "Best ask":
                    vl_quote = replace(vl_quote, ask_price=quote.price, datetime=datetime.now())
                elif QuoteType2String(quote.Type) == "Day open price":
                    vl_quote = replace(vl_quote, open_price=quote.price, datetime=datetime.now())
                elif QuoteType2String(quote.Type) == "Current day high price":
                    vl_quote = replace(vl_quote, high_price=quote.price, datetime=datetime.now())
                elif QuoteType2String(quote.Type) == "Current day low price":
                    vl_quote = replace(vl_quote, low_price=quote.price, datetime=datetime.now())
                elif QuoteType2String(quote.Type) == "Yesterday's settlement price":
                    vl_quote = replace(vl_quote, prev_close_price=quote.price,
                                       datetime=datetime.now())
                self.gateway.cqg_quotes[security] = vl_quote
                if vl_quote.last_price != 0 or (vl_quote.bid_price != 0
                                                and vl_quote.ask_price != 0):
                    self.gateway.process_quote(vl_quote)

        def OnTicksResolved(self, cqgTicks, cqgError):
            if not self.eventOrderbookDone.is_set():
                self.eventOrderbookDone.set()

        def OnTicksAdded(self, cqgTicks, addedTicksCount):
            ticks = win32com.client.Dispatch(cqgTicks)
            for i in range(ticks.Count - addedTicksCount, ticks.Count):
                tick = ticks.Item(i)
                security = self.gateway.get_vl_security_from_cqg_symbol(ticks.Request.Symbol)
                vl_orderbook = self.gateway.cqg_orderbooks[security]
                if vl_orderbook is None:
                    vl_orderbook = OrderBook(security=security, exchange=security.exchange,
                                             datetime=datetime.now())
                if TickType2String(tick.PriceType) == "Ask price":
                    vl_orderbook = replace(vl_orderbook, ask_volume_1=tick.Volume,
                                           ask_price_1=tick.Price, datetime=datetime.now())
                elif TickType2String(tick.PriceType) == "Bid price":
                    vl_orderbook = replace(vl_orderbook, bid_volume_1=tick.Volume,
                                           bid_price_1=tick.Price, datetime=datetime.now())
                self.gateway.cqg_orderbooks[security] = vl_orderbook
                if (vl_orderbook.bid_price_1 != 0 and vl_orderbook.ask_price_1 != 0
                        and vl_orderbook.bid_volume_1 != 0 and vl_orderbook.ask_volume_1 != 0):
                    self.gateway.process_orderbook(vl_orderbook)

        def OnTicksRemoved(self, cqgTicks, removedTickIndex):
            pass

        def OnTimedBarsResolved(self, cqgTimedBars, cqgError):
            if cqgError is not None:
                if not self.eventBarDone.is_set():
                    self.eventBarDone.set()
                return
            bars = win32com.client.Dispatch(cqgTimedBars)
            if bars.Count == 0:
                if not self.eventBarDone.is_set():
                    self.eventBarDone.set()
                return
            security = self.gateway.get_vl_security_from_cqg_symbol(bars.Request.Symbol)
            if self.subscribe_bars_data.get(security):
                if not self.eventBarDone.is_set():
                    self.eventBarDone.set()
                return
            self.subscribe_bars_data[security] = []
            for i in range(0, bars.Count - 1):
                bar = bars.Item(i)
                self.subscribe_bars_data[security].append(Bar(
                    datetime=bar_time(bar.Timestamp), security=security, open=bar.Open,
                    high=bar.High, low=bar.Low, close=bar.Close, volume=bar.ActualVolume))
            if not self.eventBarDone.is_set():
                self.eventBarDone.set()

        def OnTimedBarsAdded(self, cqgTimedBars):
            bars = win32com.client.Dispatch(cqgTimedBars)
            if bars.Count < 2:
                return
            security = self.gateway.get_vl_security_from_cqg_symbol(bars.Request.Symbol)
            assert self.subscribe_bars_data[security] is not None, \
                "We should have initiated data in OnTimedBarsResolved first!"
            bar = bars.Item(bars.Count - 2)
            new_bar = Bar(datetime=bar_time(bar.Timestamp), security=security, open=bar.Open,
                          high=bar.High, low=bar.Low, close=bar.Close, volume=bar.ActualVolume)
            stored = self.subscribe_bars_data[security]
            if stored is not None and len(stored) == 0:
                # A history of one bar stores none: the first added bar starts it.
                print("[2] OnTimedBarsAdded: " + format(new_bar, ""))
                stored.append(new_bar)
            elif new_bar.datetime > stored[-1].datetime:
                print("[2] OnTimedBarsAdded: " + format(new_bar, ""))
                stored.pop(0)
                stored.append(new_bar)

        def OnTimedBarsUpdated(self, cqgTimedBars, index):
            pass

        def OnTimedBarsRemoved(self, cqgTimedBars, index):
            pass

        def dumpBar(self, bar, index):
            Trace("Bar index: {} Timestamp {} Open {} High {} Low {} Close {} "
                  "ActualVolumeFractional {} CommodityVolumeFractional {} "
                  "ContractVolumeFractional {} TickVolume {}".format(
                      index, bar.Timestamp, bar.Open, bar.High, bar.Low, bar.Close,
                      bar.ActualVolumeFractional, bar.CommodityVolumeFractional,
                      bar.ContractVolumeFractional, bar.TickVolume))

        def place_order(self, order: "Order") -> "str":
            with self.lockOrderPlacement:
                cqg_symbol = self.gateway.get_cqg_symbol_from_vl_security(order.security)
                instrument = self.get_instrument_from_cqg_symbol(cqg_symbol)
                if instrument is None:
                    raise ValueError("cqg_symbol " + format(cqg_symbol, "")
                                     + " has not been subscribed.")
                if order.order_type == OrderType.LIMIT:
                    order_type = win32com.client.constants.otLimit
                elif order.order_type == OrderType.MARKET:
                    order_type = win32com.client.constants.otMarket
                elif order.order_type == OrderType.STOP:
                    order_type = win32com.client.constants.otStop
                else:
                    raise ValueError("Unsupported order type " + format(order.order_type, ""))
                if order.direction == Direction.LONG:
                    side = win32com.client.constants.osdBuy
                elif order.direction == Direction.SHORT:
                    side = win32com.client.constants.osdSell
                else:
                    raise ValueError("Unsupported order side " + format(order.direction, ""))
                account = self.get_account_from_gwaccountid(GWAccountID=self.GWAccountID)
                if order.order_type == OrderType.MARKET:
                    cqg_order = self.celEnvironment.cqgCEL.CreateOrder(
                        order_type, instrument, account, order.quantity, side)
                elif order.order_type == OrderType.LIMIT:
                    cqg_order = self.celEnvironment.cqgCEL.CreateOrder(
                        order_type, instrument, account, order.quantity, side, order.price)
                elif order.order_type == OrderType.STOP:
                    cqg_order = self.celEnvironment.cqgCEL.CreateOrder(
                        order_type, instrument, account, order.quantity, side, order.price,
                        order.stop_price)
                cqg_order = win32com.client.Dispatch(cqg_order)
                cqg_order.Manual = 0
                # Only the "added" event of this order's own GUID completes this
                # placement; a late answer to an earlier one may have filled the slot.
                self.placing_order_id = own_guid(cqg_order)
                self.order_id = None
                try:
                    self.eventOrderPlaced.clear()
                    cqg_order.Place()
                    AssertMessage(self.eventOrderPlaced.wait(TIMEOUT),
                                  "Order placing timeout!\n" + format(order, "") + " ")
                    order_id = self.order_id
                    self.order_id = None
                finally:
                    self.placing_order_id = None
                if order_id is None:
                    raise ValueError("Order id can not be obtained!\n" + format(order, ""))
                if type(order_id) is not str:
                    raise TypeError("Expected %s, got %.200s" % ("str", type(order_id).__name__))
                return order_id

        def cancel_order(self, orderid: "str"):
            exact(orderid, "orderid", str)
            self.celEnvironment.cqgCEL.Orders.ItemByGuid(orderid).Cancel()

        def OnAccountChanged(self, change, cqgAccount, cqgPosition):
            if change == win32com.client.constants.actPositionAdded:
                account = win32com.client.Dispatch(cqgAccount)
                position = win32com.client.Dispatch(cqgPosition)
                Trace("OnAccountChanged - open position is added for {} account - instrument: {} "
                      "average price: {} quantity: {} OTE: {} PL: {}".format(
                          account.GWAccountName, position.InstrumentName, position.AveragePrice,
                          position.Quantity, position.OTE, position.ProfitLoss))
            elif change == win32com.client.constants.actPositionChanged:
                account = win32com.client.Dispatch(cqgAccount)
                position = win32com.client.Dispatch(cqgPosition)
                Trace("OnAccountChanged - open position is changed for {} account - instrument: {} "
                      "average price: {} quantity: {} OTE: {} PL: {}".format(
                          account.GWAccountName, position.InstrumentName, position.AveragePrice,
                          position.Quantity, position.OTE, position.ProfitLoss))
            elif change == win32com.client.constants.actAccountsReloaded:
                Trace("OnAccountChanged - Accounts are ready!")
                self.eventAccountIsReady.set()

        def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
            if cqgError is not None:
                return
            order = win32com.client.Dispatch(cqgOrder)
            properties = win32com.client.Dispatch(order.Properties)
            gw_status = properties(win32com.client.constants.opGWStatus)
            guid = properties(win32com.client.constants.opGUID)
            stamp = properties(win32com.client.constants.opEventServerTimestamp).Value
            updated_time = datetime(year=stamp.year, month=stamp.month, day=stamp.day,
                                    hour=stamp.hour, minute=stamp.minute, second=stamp.second)
            filled_avg_price = properties(win32com.client.constants.opAverageFillPrice).Value
            filled_quantity = properties(win32com.client.constants.opFilledQuantity).Value
            status = convert_orderstatus_cqg2vl(gw_status.Value)
            order_id = guid.Value
            if changeType == win32com.client.constants.ctAdded:
                if self.eventOrderPlaced.is_set() or self.placing_order_id not in (None, order_id):
                    print("orderid " + format(order_id, "") + " is not placed by algo")
                    return
                self.order_id = order_id
                self.eventOrderPlaced.set()
            elif (changeType == win32com.client.constants.ctChanged
                  or changeType == win32com.client.constants.ctRemoved):
                self.gateway.process_order({
                    "order_id": order_id,
                    "updated_time": updated_time,
                    "filled_avg_price": filled_avg_price,
                    "filled_quantity": filled_quantity,
                    "status": status,
                })
            if not cqgFill:
                return
            fill = win32com.client.Dispatch(cqgFill)
            if fill.Status != win32com.client.constants.fsNormal:
                return
            stamp = fill.Timestamp
            fill_time = datetime(year=stamp.year, month=stamp.month, day=stamp.day,
                                 hour=stamp.hour, minute=stamp.minute, second=stamp.second)
            price = fill.Price
            quantity = fill.Quantity
            fill_order_id = fill.Order.GUID
            deal_id = fill.Id
            self.gateway.process_deal({
                "deal_id": deal_id,
                "order_id": fill_order_id,
                "updated_time": fill_time,
                "filled_avg_price": price,
                "filled_quantity": quantity,
            })

        def OnGWConnectionStatusChanged(self, connectionStatus):
            """Connection states:

    csConnectionDelayed      1  Connection is delayed.
    csConnectionDown         2  Connection is down.
    csConnectionNotLoggedOn  4  Connected but not logged on Gateway.
    csConnectionTrouble      3  Trouble with Gateway connection.
    csConnectionUp           0  Connection is up.
"""
            if connectionStatus == win32com.client.constants.csConnectionUp:
                Trace("GW connection is UP!")
                self.eventGatewayIsUp.set()
            if connectionStatus == win32com.client.constants.csConnectionDown:
                Trace("GW connection is DOWN!")
                self.eventGatewayIsDown.set()


        def OnDataConnectionStatusChanged(self, newStatus):
            """Connection states:

    csConnectionDelayed      1  Connection is delayed.
    csConnectionDown         2  Connection is down.
    csConnectionNotLoggedOn  4  Connected but not logged on Gateway.
    csConnectionTrouble      3  Trouble with Gateway connection.
    csConnectionUp           0  Connection is up.
"""
            print("DataConnectionStatus=" + format(newStatus, ""))

    return at_module_level(CelBridge)


CelBridge = _define()
del _define


def QuoteType2String(quoteType):
    constants = win32com.client.constants
    return {
        constants.qtAsk: "Best ask",
        constants.qtBid: "Best bid",
        constants.qtCohUndAsk: "Coherent underlying price for the best ask",
        constants.qtCohUndBid: "Coherent underlying price for the best bid",
        constants.qtDayHigh: "Current day high price",
        constants.qtDayLow: "Current day low price",
        constants.qtDayOpen: "Day open price",
        constants.qtImpliedAsk: "Implied best ask",
        constants.qtImpliedBid: "Implied best bid",
        constants.qtIndicativeOpen: "Indicative open",
        constants.qtMarker: "Marker price",
        constants.qtOutrightAsk: "Outright best ask",
        constants.qtOutrightBid: "Outright best bid",
        constants.qtSettlement: "Settlement price",
        constants.qtTodayMarker: "Marker price",
        constants.qtTrade: "Last trade price",
        constants.qtYesterdaySettlement: "Yesterday's settlement price",
    }[quoteType]


def TickType2String(tickType):
    constants = win32com.client.constants
    return {
        constants.tptAsk: "Ask price",
        constants.tptBid: "Bid price",
        constants.tptSettlement: "Settlement price",
        constants.tptTrade: "Trade price",
    }[tickType]


def convert_orderstatus_cqg2vl(status: "win32com.client.constants") -> "OrderStatus":
    constants = win32com.client.constants
    if status == constants.osActiveAt:
        return OrderStatus.UNKNOWN
    if status == constants.osContingent:
        return OrderStatus.UNKNOWN
    if status == constants.osInCancel:
        return OrderStatus.UNKNOWN
    if status == constants.osInClient:
        return OrderStatus.UNKNOWN
    if status == constants.osInModify:
        return OrderStatus.UNKNOWN
    if status == constants.osInTransit:
        return OrderStatus.UNKNOWN
    if status == constants.osNotSent:
        return OrderStatus.UNKNOWN
    if status == constants.osParked:
        return OrderStatus.UNKNOWN
    if status == constants.osInOrderBook:
        return OrderStatus.SUBMITTED
    if status == constants.osFilled:
        return OrderStatus.FILLED
    if status == constants.osBusted:
        return OrderStatus.FILLED
    if status == constants.osCanceled:
        return OrderStatus.CANCELLED
    if status == constants.osRejectFCM:
        return OrderStatus.FAILED
    if status == constants.osRejectGW:
        return OrderStatus.FAILED
    if status == constants.osDisconnected:
        return OrderStatus.FAILED
    if status == constants.osExpired:
        return OrderStatus.FAILED
    if status == constants.osInTransitTimeout:
        return OrderStatus.FAILED
    raise ValueError("Order status " + format(status, "")
                     + " is not valid to be handled by velmor_trader.")
