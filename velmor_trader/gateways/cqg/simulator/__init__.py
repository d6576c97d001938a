"""A simulated broker API server for development and tests.

The real API is a Windows COM server; this package stands in for it so that
the broker client can be built, run and tested anywhere.

What it models
--------------
* The API root object (:class:`CQGCEL`) with the calls the client makes:
  gateway logon and logoff, instruments and their quotes, tick and timed-bar
  requests, orders and accounts. Answers and streamed data arrive as calls of
  the sink's ``On...`` methods, always from one dedicated event thread and
  never from the caller's thread, in the order a real server sends them.
* A market of a few futures contracts (``F.US.EPZ4`` and others) and two
  Hong Kong stocks (``S.HK.00700``, ``S.HK.09988``): a seeded
  random walk of the best bid and ask with sizes and of trades, day open,
  high, low and yesterday's settlement, and one-minute and daily bar
  histories for any requested range. Minute bars without trades carry
  ``-2147483648`` in their prices and volume, as do optional volume outputs
  that were not requested; :meth:`Simulator.mark_missing` makes chosen
  fields missing on purpose (in every bar, the oldest or newest bar of a
  history, or the live bars that follow).
* The tick tape: bid, ask and trade ticks for each step, settlement ticks of
  volume 0 at an interval (``settlement_every``), bid or ask ticks that show
  volume 0 now and then (``empty_side_chance``), ticks of the test's choosing
  (:meth:`Simulator.inject_ticks`); each ticks collection keeps only its
  newest ``tick_history`` ticks, so a long session stays the same size.
* A simulated clock. By default time stands still until the test calls
  :meth:`Simulator.advance`, which makes runs fast and reproducible: the same
  seed, start time and calls give the same events. With ``speed=`` the clock
  runs that many times faster than real time instead; a client holds it
  (:meth:`Simulator.hold`, ``held=True`` to start held) while it reacts to an
  event, so that its orders meet the market as it was at that event.
* A matching engine: market orders fill at once against the book (walking
  it level by level, hence partial fills), limit orders fill up to their
  limit and rest with the remainder, stop orders trigger on a trade at or
  through the stop and then fill as market orders; cancels and rejects
  (not logged on, unknown account or instrument, bad quantity, side, type or
  price). Order properties (status, GUID, server time stamp, average fill
  price, filled quantity) stay consistent with the fills.
* Gateway accounts whose balance, collateral (initial margin in use),
  maintenance margin, net liquidation value and profit and loss follow the
  fills and the market, with positions that open, change, reverse and close.
* Fault injection (:class:`Faults`): late or missing answers, answers that
  carry an error object, order requests that take effect but whose answers
  are lost (``mute``), a dropped and restored connection, data errors.

What it does not model
----------------------
Market depth beyond the top of the book (deeper levels repeat the top size),
trading sessions and holidays (minute bars run around the clock; daily bars
skip weekends only), the market impact of the client's own orders, order
modification, contingent orders, stop-limit orders (a stop order's limit
price is ignored), currencies other than one, fees, expiries and roll-overs,
and COM itself (apartments, marshalling, case-insensitive member names).

Use
---
``install_win32com()`` makes ``import win32com.client`` give a stand-in
(``Dispatch`` returns simulator objects as they are; ``constants`` holds the
enumeration members) when no real one exists; nothing is installed on import.
``CELEnvironment`` of the wrapper package starts a simulator with a sink.
"""
from .clock import SimClock
from .constants import constants
from .faults import Faults
from .market import INVALID, Contract
from .objects import CQGError
from .api import CQGCEL
from .server import Simulator
from .win32com_shim import install_win32com, uninstall_win32com

__all__ = ["CQGCEL", "CQGError", "Contract", "Faults", "INVALID",
           "SimClock", "Simulator", "constants", "install_win32com",
           "uninstall_win32com"]
