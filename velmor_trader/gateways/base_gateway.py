"""Gateway base classes (minimal stand-in)."""


class BaseGateway:
    """A connection to one broker; concrete gateways override the hooks."""

    def __init__(self, securities=None, gateway_name: str = ""):
        self.securities = list(securities or [])
        self.gateway_name = gateway_name

    def process_quote(self, quote):
        pass

    def process_orderbook(self, orderbook):
        pass

    def process_order(self, content):
        pass

    def process_deal(self, content):
        pass


class BaseFees:
    """Fee accumulators of one order.

    The figures are class attributes, so a fresh instance already reads zero
    for each of them even when a subclass never calls ``BaseFees.__init__``;
    adding to one (``self.x += y``) then stores the sum on the instance.
    """

    total_number_of_trades = 0
    total_trade_amount = 0
    commissions = 0
    platform_fees = 0
    system_fees = 0
    settlement_fees = 0
    stamp_fees = 0
    trade_fees = 0
    transaction_fees = 0
    total_fees = 0
