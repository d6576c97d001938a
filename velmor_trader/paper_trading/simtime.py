"""Simulated time, and what makes a session on a sped-up clock repeatable.

The broker's events arrive on its event thread while the engine decides on
its own thread, and the clock runs on meanwhile: an order sent 5 ms later
would meet another market.  So every event the engine acts on takes a hold
on the simulated clock where it is delivered, and the engine releases it only
once it has acted; an action taken under a hold meets the market exactly as
it was at that event.  Decisions read simulated times and event contents
only, never the wall clock, so the same seed gives the same trades however
fast the threads run.
"""


class SimulatedTime:
    """The simulator's clock as the engine uses it."""

    def __init__(self, simulator):
        self._simulator = simulator

    def now(self):
        return self._simulator.clock.now()

    def hold(self):
        """Stop simulated time here; cheap and safe on the event thread."""
        self._simulator.hold()

    def release(self):
        self._simulator.release()

    def settle(self):
        """Wait until the broker has delivered everything due at the held
        time, so that what the engine reads next is complete."""
        self._simulator.wait_idle()


class WallClock:
    """The same interface on a live broker: time is the wall clock and
    cannot be held, so there is nothing to hold, release or settle."""

    def now(self):
        from datetime import datetime
        return datetime.now()

    def hold(self):
        pass

    def release(self):
        pass

    def settle(self):
        pass
