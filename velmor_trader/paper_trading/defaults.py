"""The embedded default set-up: nothing to configure, nothing to sign up for."""
from dataclasses import dataclass

from velmor_trader.core.constants import Exchange
from velmor_trader.core.security import Futures, Stock


@dataclass(frozen=True)
class Instrument:
    """What the engine knows about one instrument it trades."""
    security: object
    multiplier: float        # currency per point and unit held
    tick: float
    size: int                # units per entry
    stop_ticks: int          # distance of the protective stop

    def __post_init__(self):
        if self.size % self.lot != 0:
            raise ValueError(f"{self.security.code}: an entry of {self.size} is not a whole "
                             f"number of lots of {self.lot}")

    @property
    def is_stock(self):
        return isinstance(self.security, Stock)

    @property
    def lot(self):
        """The exchange's board lot: every order is a whole number of them."""
        return self.security.lot_size or 1

    def whole_lots(self, signed_quantity):
        """``signed_quantity`` toward zero to whole lots."""
        lots = int(abs(signed_quantity) // self.lot)
        return lots * self.lot * (1 if signed_quantity > 0 else -1)


# The fee schedules count futures contracts as quantity / lot size, so a
# futures contract here is one lot.
INSTRUMENTS = (
    Instrument(Futures("EPZ4", "E-mini S&P 500 Dec24", lot_size=1, exchange=Exchange.CME),
               multiplier=50.0, tick=0.25, size=2, stop_ticks=14),
    Instrument(Futures("CLEF5", "Crude Oil Jan25", lot_size=1, exchange=Exchange.NYMEX),
               multiplier=1000.0, tick=0.01, size=1, stop_ticks=14),
    # Hong Kong stocks trade in board lots (of 100 shares for these two).
    Instrument(Stock("00700", "Tencent", lot_size=100), multiplier=1.0, tick=0.20, size=100,
               stop_ticks=12),
    Instrument(Stock("09988", "Alibaba", lot_size=100), multiplier=1.0, tick=0.05, size=100,
               stop_ticks=12),
)

ACCOUNT_ID = 16001                # the simulated broker's gateway account
USER, PASSWORD = "paper", "paper"
GATEWAY_NAME = "CQG"
STRATEGY = dict(strategy_account_id=1, strategy_account="ma_cross", strategy_version="1.0",
                strategy_version_desc="moving-average cross 5/20 on one-minute bars")

BAR_LOOKBACK = 30                 # one-minute bars of history per instrument
FAST, SLOW = 5, 20                # moving-average lengths, in bars

MINUTES = 60                      # simulated minutes of trading
SEED = 7
SPEED = 240.0                     # simulated seconds per real second
ENTRY_PATIENCE = 2                # minutes an unfilled limit entry may wait
ON_STOP = "close"                 # what a stop does with open positions: close / keep

TRADING_MINUTES_A_DAY = 390       # 09:30 to 16:00, where the simulated market opens
# A session is at most one trading day: its one-minute returns are what the
# annualisation below counts, and the report groups round trips by the clock
# time of one day.
MIN_MINUTES, MAX_MINUTES = 2, TRADING_MINUTES_A_DAY
# The simulated market moves once a simulated second.  Below a tenth of real
# time it would move less than once in ten real seconds and even the shortest
# session would take more than twenty minutes: a clock that slow is a mistake.
MIN_SPEED = 0.1

TOKEN = "100000:paper-trading-demo"
CHAT_ID = 424242
# One-minute returns, 390 trading minutes a day, 252 days a year.
PERIODS_PER_YEAR = 252 * TRADING_MINUTES_A_DAY
