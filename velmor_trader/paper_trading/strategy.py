"""A moving-average cross on one-minute bars.

When the fast average crosses the slow one, the strategy cancels what it has
working in that instrument, closes the position at market and joins the best
price on the new side with a limit order; an entry that waits too long is
cancelled.  An open position gets a protective stop; a stop left without a
position is cancelled.  It acts on a cross only once the broker confirmed the
cancels it sent.  Every quantity is a whole number of the instrument's board
lots.  It decides once a bar,
on the bars the broker client repaired, and only from them, the position and
the quotes: never from the wall clock.
"""
from velmor_trader.core.constants import OrderType


def cross(closes, fast, slow):
    """+1 when the fast average crossed above the slow one with the last
    bar, -1 when it crossed below, else 0."""
    if len(closes) < slow + 1:
        return 0

    def gap(end):
        window = closes[:end] if end else closes
        return sum(window[-fast:]) / fast - sum(window[-slow:]) / slow

    before, now = gap(-1), gap(0)
    if before <= 0 < now:
        return 1
    if before >= 0 > now:
        return -1
    return 0


class MovingAverageCross:
    def __init__(self, fast, slow, patience):
        self.fast, self.slow, self.patience = fast, slow, patience

    def on_bar(self, instrument, closes, now, trader):
        security = instrument.security
        net, average = trader.position(security)
        held = instrument.whole_lots(net)       # what an exchange lets it trade of the position
        working = trader.working(security)
        for order, role in working:
            if role == "entry" and (now - order.create_time).total_seconds() >= 60 * self.patience:
                trader.cancel(order)
        side = cross(closes, self.fast, self.slow)
        if side and side * net <= 0:
            for order, role in working:
                trader.cancel(order)
            if not trader.settle(security):
                # An order the broker has not cancelled may still fill: an
                # exit or entry now could open what its fill then adds to.
                # The position keeps its stop; the cancels are followed up.
                return
            if held:
                trader.place(security, -held, OrderType.MARKET, role="exit")
            quote = trader.quote(security)
            if quote is not None:
                price = quote.bid_price if side > 0 else quote.ask_price
                trader.place(security, side * instrument.size, OrderType.LIMIT, price=price,
                             role="entry")
        elif held and not any(role == "stop" for _, role in working):
            self.protect(instrument, net, average, trader)
        elif not net:
            for order, role in working:
                if role == "stop":        # a stop left from a closed position would open one
                    trader.cancel(order)

    @staticmethod
    def protect(instrument, net, average, trader):
        # An exchange takes whole board lots only: an odd lot left over (bought
        # elsewhere) is not the strategy's to protect.
        quantity = instrument.whole_lots(net)
        if not quantity:
            return
        distance = instrument.stop_ticks * instrument.tick
        quote = trader.quote(instrument.security)
        if net > 0:
            stop = average - distance
            if quote is not None:        # never a stop the market is already through
                stop = min(stop, quote.bid_price - instrument.tick)
        else:
            stop = average + distance
            if quote is not None:
                stop = max(stop, quote.ask_price + instrument.tick)
        stop = round(round(stop / instrument.tick) * instrument.tick, 8)
        trader.place(instrument.security, -quantity, OrderType.STOP, price=stop, stop=stop,
                     role="stop")
