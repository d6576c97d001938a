"""Gateway accounts: balance, collateral, margin and P&L that follow the
fills, and positions that open, change and close."""
from .constants import constants as C
from .objects import Collection


class Position:
    def __init__(self, account, book):
        self.Account = account
        self._book = book
        self.InstrumentName = book.contract.full_name
        self.net = 0                  # signed quantity
        self.AveragePrice = 0.0
        self.realized = 0.0

    @property
    def Quantity(self):
        return self.net

    @property
    def Side(self):
        return C.osdSell if self.net < 0 else C.osdBuy

    @property
    def OTE(self):
        """Open trade equity at the last trade price."""
        contract = self._book.contract
        return self.net * (self._book.last - self.AveragePrice) * contract.multiplier

    @property
    def ProfitLoss(self):
        return self.realized + self.OTE

    def apply_fill(self, signed_qty, price):
        """Book one fill; returns the P&L it realises."""
        net, avg = self.net, self.AveragePrice
        realized = 0.0
        if net == 0 or (net > 0) == (signed_qty > 0):
            total = abs(net) + abs(signed_qty)
            self.AveragePrice = (abs(net) * avg + abs(signed_qty) * price) / total
        else:
            closed = min(abs(net), abs(signed_qty))
            direction = 1 if net > 0 else -1
            realized = closed * (price - avg) * direction * self._book.contract.multiplier
            if abs(signed_qty) > abs(net):          # reversed through flat
                self.AveragePrice = price
        self.net = net + signed_qty
        self.realized += realized
        return realized


class AccountSummary:
    """Figures of one account; ``index`` selects the currency row (the
    simulator keeps one currency, shown at rows 0 and 1)."""

    def __init__(self, account):
        self._account = account

    def _check(self, index):
        if index not in (0, 1):
            raise IndexError("summary row %r does not exist" % (index,))

    def Balance(self, index):
        self._check(index)
        return self._account.cash + self._account.realized

    def Collaterals(self, index):
        self._check(index)
        return sum(abs(p.net) * p._book.contract.margin
                   for p in self._account._positions)

    def MaintenanceMargin(self, index):
        self._check(index)
        return sum(abs(p.net) * p._book.contract.maintenance
                   for p in self._account._positions)

    def ProfitLoss(self, index):
        self._check(index)
        return self._account.realized

    def UPL(self, index):
        self._check(index)
        return sum(p.OTE for p in self._account._positions)

    def NLV(self, index):
        return self.Balance(index) + self.UPL(index)


class Account:
    def __init__(self, gw_account_id, name, cash):
        self.GWAccountID = gw_account_id
        self.GWAccountName = name
        self.AutoSubscribeInstruments = False
        self.PositionSubcriptionLevel = C.pslNoPositions
        self.cash = float(cash)
        self.realized = 0.0
        self._positions = []
        self.Summary = AccountSummary(self)

    @property
    def Positions(self):
        return Collection(list(self._positions))

    def position_for(self, book):
        """The account's position in a contract and whether it is new."""
        for position in self._positions:
            if position._book is book:
                return position, position.net == 0
        position = Position(self, book)
        self._positions.append(position)
        return position, True

    def apply_fill(self, book, signed_qty, price):
        position, opened = self.position_for(book)
        self.realized += position.apply_fill(signed_qty, price)
        return position, opened
