"""A short session against the simulated broker API.

Run from the repository root:  python examples/cqg_simulator_session.py
It logs on, streams a few quotes, buys at market, waits for a resting sell
limit to fill and prints the events as they arrive.
"""
import threading

from velmor_trader.gateways.cqg.simulator import install_win32com

install_win32com()                 # before anything imports win32com.client

import win32com.client  # noqa: E402

from velmor_trader.gateways.cqg.wrapper.CELEnvironment import (  # noqa: E402
    CELEnvironment, CELSinkBase)

C = win32com.client.constants


class Sink(CELSinkBase):
    def __init__(self):
        self.up = threading.Event()
        self.accounts = threading.Event()
        self.resolved = threading.Event()
        self.quotes = 0

    def OnGWConnectionStatusChanged(self, status):
        print("gateway status", status)
        if status == C.csConnectionUp:
            self.up.set()

    def OnAccountChanged(self, change, account, position):
        if change == C.actAccountsReloaded:
            self.accounts.set()
        elif position is not None:
            print("position", position.InstrumentName, position.Quantity,
                  "avg", position.AveragePrice)

    def OnInstrumentResolved(self, symbol, instrument, error):
        win32com.client.Dispatch(instrument).DataSubscriptionLevel = \
            C.dsQuotesAndBBA
        self.resolved.set()

    def OnInstrumentChanged(self, instrument, quotes, properties):
        self.quotes += 1
        if self.quotes <= 3:
            print(instrument.FullName, [(q.Type, q.price) for q in quotes])

    def OnOrderChanged(self, change, order, old, fill, error):
        status = order.Properties(C.opGWStatus).Value
        print("order", order.GUID[:8], C.name_of(status, "os"),
              "fill %s @ %s" % (fill.Quantity, fill.Price) if fill else "")


def main():
    sink = Sink()
    environment = CELEnvironment()
    cel = environment.Init(sink, seed=5)
    simulator = environment.simulator
    try:
        cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
        cel.GWLogon("demo", "demo")
        sink.up.wait(5)
        sink.accounts.wait(5)
        account = cel.Accounts.Item(0)
        account.PositionSubcriptionLevel = C.pslSnapshotAndUpdates
        cel.NewInstrument("EPZ4")
        sink.resolved.wait(5)
        simulator.advance(5)
        instrument = cel.Instruments.Item(0)
        cel.CreateOrder(C.otMarket, instrument, account, 2, C.osdBuy).Place()
        simulator.wait_idle()
        limit = instrument.Ask.price + 1.0
        cel.CreateOrder(C.otLimit, instrument, account, 2, C.osdSell,
                        limit).Place()
        simulator.advance(600)
        summary = account.Summary
        print("balance", summary.Balance(0), "P&L", summary.ProfitLoss(0))
        cel.GWLogoff()
        simulator.wait_idle()
    finally:
        environment.Shutdown()


if __name__ == "__main__":
    main()
