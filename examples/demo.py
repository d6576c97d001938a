"""One trading session of the engine, end to end and offline.

    ./run demo            (or: python examples/demo.py, with the package installed)

Runs on an embedded default set-up, so it needs nothing from you: a temporary
directory for the database, the local stand-in of the chat service, and the
simulated broker API.  On that set-up it

1. logs on to the simulated broker, streams a futures contract and trades it;
2. turns the fills into the framework's Deal records and prices them with the
   broker's fee schedules;
3. stores the deals and the account balance in SQLite and reads them back;
4. scores an equity curve built from the contract's daily bars;
5. answers an operator's chat commands (/balance, /send_order, /stop) the way
   an engine does: it reads the requests off the bot, replies, and clears them.
"""
import importlib
import logging
import sys
import tempfile
import textwrap
import threading
import time
from datetime import datetime, timedelta
from pathlib import Path

import numpy as np
import pandas as pd

from velmor_trader.core.constants import Direction, Exchange
from velmor_trader.core.deal import Deal
from velmor_trader.core.security import Futures, Stock
from velmor_trader.gateways.cqg.simulator import install_win32com
from velmor_trader.plugins.telegram.local_server import LocalChatServer

CHAT_ID = 424242
TOKEN = "100000:demo-token"


def write_default_config(directory, chat_server):
    """The embedded default configuration, as a user's module would hold it."""
    (Path(directory) / "velmor_trader_config.py").write_text(textwrap.dedent(f"""\
        DB = {{"sqlite3": {str(directory)!r}}}
        TELEGRAM_TOKEN = {TOKEN!r}
        TELEGRAM_CHAT_ID = {CHAT_ID}
        TELEGRAM_BASE_URL = {chat_server.base_url!r}
        """))
    sys.path.insert(0, str(directory))
    importlib.invalidate_caches()


def section(title):
    print(f"\n== {title} ==")


def trade_on_simulated_broker():
    """Buy two lots at market, sell them with a limit; return the fills."""
    install_win32com()  # the broker API's COM layer is simulated here
    import win32com.client
    from velmor_trader.gateways.cqg.wrapper.CELEnvironment import CELEnvironment, CELSinkBase

    C = win32com.client.constants
    fills, up, resolved = [], threading.Event(), threading.Event()

    class Sink(CELSinkBase):
        def OnGWConnectionStatusChanged(self, status):
            if status == C.csConnectionUp:
                up.set()

        def OnInstrumentResolved(self, symbol, instrument, error):
            instrument.DataSubscriptionLevel = C.dsQuotesAndBBA
            resolved.set()

        bars, bars_ready = None, threading.Event()

        def OnTimedBarsResolved(self, bars, error):
            self.bars = bars
            self.bars_ready.set()

        def OnOrderChanged(self, change, order, old, fill, error):
            if fill is not None:
                side = Direction.LONG if order.Side == C.osdBuy else Direction.SHORT
                fills.append((order.GUID, fill.Id, side, fill.Price, fill.Quantity))

    environment = CELEnvironment()
    sink = Sink()
    cel = environment.Init(sink, seed=7)
    simulator = environment.simulator
    try:
        cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
        cel.GWLogon("demo", "demo")
        up.wait(5)
        simulator.wait_idle()
        account = cel.Accounts.Item(0)
        cel.NewInstrument("EPZ4")
        resolved.wait(5)
        simulator.advance(5)
        instrument = cel.Instruments.Item(0)
        print("instrument", instrument.FullName, "bid", instrument.Bid.price, "ask", instrument.Ask.price)
        cel.CreateOrder(C.otMarket, instrument, account, 2, C.osdBuy).Place()
        simulator.wait_idle()
        cel.CreateOrder(C.otLimit, instrument, account, 2, C.osdSell, instrument.Ask.price + 0.5).Place()
        simulator.advance(900)
        simulator.wait_idle()
        summary = account.Summary
        balance = {"cash": summary.Balance(0), "pnl": summary.ProfitLoss(0)}
        bars = daily_closes(cel, C, simulator, sink)
        cel.GWLogoff()
        simulator.wait_idle()
    finally:
        environment.Shutdown()
    for guid, fill_id, side, price, qty in fills:
        print(f"fill {fill_id} of order {guid[:8]}: {side.name} {qty} @ {price}")
    return fills, balance, bars


def daily_closes(cel, C, simulator, sink):
    request = cel.CreateTimedBarsRequest()
    request.Symbol = "EPZ4"
    request.RangeStart = -260  # the last 260 daily bars
    request.RangeEnd = 0
    request.HistoricalPeriod = C.hpDaily
    cel.RequestTimedBars(request)
    simulator.wait_idle()
    sink.bars_ready.wait(5)
    bars = sink.bars
    closes = [bars.Item(i).Close for i in range(bars.Count)] if bars is not None else []
    return [c for c in closes if c != -2147483648]


def price_the_deals(fills):
    es = Futures("EPZ4", "E-mini S&P 500 Dec 24", lot_size=1)
    deals = [Deal(security=es, direction=side, filled_avg_price=price, filled_quantity=qty,
                  order_id=guid, deal_id=str(fill_id))
             for guid, fill_id, side, price, qty in fills]
    from velmor_trader.gateways.futu.tollbook import TollbookCrypto, TollbookHKFE, TollbookSEHK

    hkfe = TollbookHKFE(*deals)
    print(f"futures fees for {len(deals)} fills: commissions {hkfe.commissions}, "
          f"platform {hkfe.platform_fees}, total {hkfe.total_fees}")
    tencent = Stock("00700", "Tencent")
    sehk = TollbookSEHK(Deal(tencent, Direction.LONG, 380.2, 300), Deal(tencent, Direction.LONG, 380.4, 200))
    print(f"SEHK fees for 500 shares of {tencent.code}: total {sehk.total_fees} "
          f"(stamp {sehk.stamp_fees}, commission {sehk.commissions})")
    btc = TollbookCrypto(Deal(Stock("BTC", "Bitcoin", exchange=Exchange.CRYPTO), Direction.LONG, 64000.0, 0.01))
    print(f"crypto fees for 0.01 BTC: total {btc.total_fees}")
    return deals


def store(deals, balance):
    from velmor_trader.plugins.sqlite3.db import DB

    db = DB()
    now = datetime.now().replace(microsecond=0)
    db.insert_records("balance", broker_name="SIM", broker_environment="SIMULATE", broker_account_id=1,
                      broker_account="DEMO", strategy_account_id=1, strategy_account="demo",
                      strategy_version="1.0", cash=float(balance["cash"]),
                      available_cash=float(balance["cash"]), realized_pnl=float(balance["pnl"]),
                      update_time=now, remark='first "demo" run')
    for deal in deals:
        db.insert_records("trading_deal", broker_deal_id=deal.deal_id, broker_order_id=deal.order_id,
                          order_id=0, balance_id=1, security_name=deal.security.security_name,
                          security_code=deal.security.code, direction=deal.direction.name,
                          offset="", order_type="", update_time=now,
                          filled_avg_price=deal.filled_avg_price, filled_quantity=deal.filled_quantity)
    with pd.option_context("display.width", 120, "display.max_columns", 8):
        print(db.select_records("balance", ["id", "broker_name", "cash", "realized_pnl", "remark"]))
        print(db.select_records("trading_deal", ["broker_deal_id", "direction", "filled_avg_price",
                                                  "filled_quantity"]))
    db.close()


def score(closes):
    from velmor_trader.plugins.analysis import metrics

    values = pd.Series(closes, index=pd.bdate_range(end="2024-11-29", periods=len(closes)), name="close")
    equity = 1_000_000 + 50 * 2 * (values - values.iloc[0])
    returns = equity.pct_change().dropna()
    drawdown = metrics.rolling_maximum_drawdown(equity, window=63)
    print(f"{len(closes)} daily closes; Sharpe {metrics.sharpe_ratio(returns):.3f}, "
          f"M2 {metrics.modigliani_ratio(returns, returns * 0.8):.4f}, "
          f"deepest 63-day drawdown {drawdown.min():.2%}")
    monthly = returns.groupby(returns.index.month).agg([metrics.percentile(5), metrics.percentile(95)])
    print(monthly.head(3).to_string(float_format=lambda v: f"{v:+.4f}"))
    print("half-hour bucket of 10:47:12 is", metrics.convert_time("10:47:12"))
    print("held for", metrics.holding_period({"open_datetime": "2024-03-01 09:30:00",
                                              "close_datetime": "2024-03-01 15:59:30"}), "minutes")


def chat_with_the_engine(chat_server, balance):
    from velmor_trader.plugins.telegram import bot as bot_module

    bot = bot_module.bot
    for command in ("/balance", "/send_order HK.00700,380.2,100,LONG,LIMIT,,,", "/stop"):
        chat_server.push_message(command, chat_id=CHAT_ID)
    chat_server.push_message("/stop", chat_id=999)  # a stranger: ignored
    deadline = time.monotonic() + 10
    while bot.velmor_trader_status != "Terminated" and time.monotonic() < deadline:
        # the engine's side: read the requests, act, answer, clear
        if bot.get_balance:
            bot.send_message(f"cash {balance['cash']:.2f}, realised P&L {balance['pnl']:.2f}")
            bot.get_balance = False
        if bot.send_order:
            bot.send_message(f"order accepted: {bot.order_string}")
            bot.send_order = False
        time.sleep(0.05)
    time.sleep(0.3)
    bot.close()
    for message in chat_server.sent_messages():
        print(f"to chat {message['chat_id']}: {message['text']}")


def main():
    logging.basicConfig(level=logging.WARNING, format="  (log) %(name)s: %(message)s")
    with tempfile.TemporaryDirectory() as directory, LocalChatServer(token=TOKEN) as chat_server:
        write_default_config(directory, chat_server)
        section("Broker session (simulated)")
        fills, balance, closes = trade_on_simulated_broker()
        section("Fees")
        deals = price_the_deals(fills)
        section("Store")
        store(deals, balance)
        section("Performance")
        score(closes)
        section("Chat")
        chat_with_the_engine(chat_server, balance)
    print("\nDemo finished.")


if __name__ == "__main__":
    main()
