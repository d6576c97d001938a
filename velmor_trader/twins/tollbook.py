# The plain-Python twin of velmor_trader.gateways.futu.tollbook: the broker's
# fee schedules, with the native module's namespace, docstrings and order of
# reads and writes.
import math

from velmor_trader.core.deal import Deal
from velmor_trader.gateways.base_gateway import BaseFees


class TollbookSEHK(BaseFees):
    """Futu fees for Hong Kong stocks traded on SEHK (margin account, HKD).

Package one, for ordinary traders (computed here):
  commission 0.03% of the order's trade amount, at least HKD 3 per order;
  platform fee HKD 15 per order.
Package two (described only, not computed): the same commission, with a
platform fee that falls in tiers with the number of orders placed in the
calendar month.
Charged by third parties, per deal:
  trading system fee HKD 0.50;
  settlement fee 0.002% of the amount, at least HKD 2, at most HKD 100;
  stamp duty 0.13% of the amount, rounded up to a whole dollar;
  trading fee 0.005% of the amount, at least HKD 0.01;
  transaction levy 0.0027% of the amount, at least HKD 0.01.
"""

    def __init__(self, *deals: "Deal"):
        for deal in deals:
            price = deal.filled_avg_price
            size = deal.filled_quantity
            trade_amount = price * size
            self.total_number_of_trades += 1
            self.total_trade_amount += trade_amount

            self.system_fees += round(0.50, 2)

            settlement_fee = 0.00002 * trade_amount
            if settlement_fee < 2.0:
                settlement_fee = 2.0
            elif settlement_fee > 100.0:
                settlement_fee = 100.0
            settlement_fee = round(settlement_fee, 2)
            self.settlement_fees += settlement_fee

            self.stamp_fees += math.ceil(0.0013 * trade_amount)

            self.trade_fees += round(max(0.00005 * trade_amount, 0.01), 2)

            self.transaction_fees += round(max(0.000027 * trade_amount, 0.01), 2)

        self.commissions += max(0.0003 * self.total_trade_amount, 3)
        self.commissions = round(self.commissions, 2)
        self.platform_fees = 15
        self.total_fees = (
            self.commissions
            + self.platform_fees
            + self.system_fees
            + self.settlement_fees
            + self.stamp_fees
            + self.trade_fees
            + self.transaction_fees
        )


class TollbookHKFE(BaseFees):
    """Futu fees for Hong Kong futures traded on HKFE (HKD, per contract).

Commission HKD 2 and platform fee HKD 5 per contract of the order;
exchange trading fee HKD 3 and regulator's levy HKD 0.10 per contract of
each deal. No system fee, settlement fee or stamp duty; nothing rounded.
"""

    def __init__(self, *deals: "Deal"):
        num_of_contracts_total = 0
        for deal in deals:
            size = deal.filled_quantity
            lot = deal.security.lot_size
            num_of_contracts = int(size / lot)
            num_of_contracts_total += num_of_contracts
            self.trade_fees += 3.0 * num_of_contracts
            self.transaction_fees += 0.1 * num_of_contracts

        self.commissions += 2.0 * num_of_contracts_total
        self.platform_fees = 5.0 * num_of_contracts_total
        self.total_fees = (
            self.commissions
            + self.platform_fees
            + self.system_fees
            + self.settlement_fees
            + self.stamp_fees
            + self.trade_fees
            + self.transaction_fees
        )


class TollbookCrypto(BaseFees):
    """Futu fees for cryptocurrency spot trading (USD).

Commission waived (COMMISSION_RATE 0% of the trade amount); platform fee
PLATFORM_FEE_RATE 0.08% of the trade amount, at least PLATFORM_FEE_MIN_USD
USD 1.99 per deal. Both rounded to 8 decimal places.
"""

    COMMISSION_RATE = 0.0
    PLATFORM_FEE_RATE = 0.0008
    PLATFORM_FEE_MIN_USD = 1.99

    def __init__(self, *deals: "Deal"):
        for deal in deals:
            trade_amount = deal.filled_avg_price * deal.filled_quantity
            self.total_number_of_trades += 1
            self.total_trade_amount += trade_amount
            self.commissions += self.COMMISSION_RATE * trade_amount
            self.platform_fees += max(
                self.PLATFORM_FEE_RATE * trade_amount, self.PLATFORM_FEE_MIN_USD
            )

        self.commissions = round(self.commissions, 8)
        self.platform_fees = round(self.platform_fees, 8)
        self.total_fees = (
            self.commissions
            + self.platform_fees
            + self.system_fees
            + self.settlement_fees
            + self.stamp_fees
            + self.trade_fees
            + self.transaction_fees
        )
