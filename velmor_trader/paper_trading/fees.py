"""The broker's fee schedules applied to the deals of one order.

A schedule charges per order (minimum commissions, the platform fee), so an
order's fees are computed again from all its deals whenever one arrives.
"""
from velmor_trader.core.security import Stock
from velmor_trader.gateways.futu.tollbook import TollbookHKFE, TollbookSEHK

KINDS = ("commissions", "platform_fees", "system_fees", "settlement_fees", "stamp_fees",
         "trade_fees", "transaction_fees", "total_fees")


def schedule_for(security):
    return TollbookSEHK if isinstance(security, Stock) else TollbookHKFE


def order_fees(deals):
    """The fee figures (``KINDS``) of one order's deals, at least one."""
    fees = schedule_for(deals[0].security)(*deals)
    return {kind: float(getattr(fees, kind)) for kind in KINDS}
