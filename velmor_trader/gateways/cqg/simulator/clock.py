"""The simulated clock.

In manual mode (``speed=None``, the default) simulated time stands still until
:meth:`SimClock.advance` moves it, which makes runs reproducible and fast.
With a ``speed`` the clock follows the wall clock, ``speed`` simulated seconds
per real second, except while it is held: a client that must react to an event
before the market moves on holds the clock (:meth:`SimClock.hold`), and when
the last hold is released time goes on from where it stood, so what happens at
which simulated time does not depend on how fast the client's threads ran.
"""
import datetime as _dt
import threading
import time

DEFAULT_START = _dt.datetime(2024, 11, 4, 9, 30, 0)   # a Monday morning


class SimClock:
    def __init__(self, start=DEFAULT_START, speed=None):
        if speed is not None and speed <= 0:
            raise ValueError("speed must be positive")
        self.start = start
        self.speed = speed
        self._lock = threading.Lock()
        self._now = 0.0        # seconds since start, as far as events ran
        self._target = 0.0     # manual mode: how far time may run
        self._real_origin = time.monotonic()
        self._holds = 0
        self._held_at = 0.0    # simulated seconds at which time stands held

    @property
    def manual(self):
        return self.speed is None

    def target(self):
        """Seconds since start up to which events are due."""
        if self.manual:
            with self._lock:
                return self._target
        with self._lock:
            if self._holds:
                # A job the event thread took just before the hold has moved
                # time a little further; what it posts must still be due.
                return max(self._held_at, self._now)
            return (time.monotonic() - self._real_origin) * self.speed

    def real_delay(self, seconds):
        """Wall-clock seconds until ``seconds`` of simulated time pass."""
        return None if self.manual else max(seconds, 0.0) / self.speed

    def advance(self, seconds):
        if not self.manual:
            raise RuntimeError("a real-time clock cannot be advanced")
        if seconds < 0:
            raise ValueError("time cannot run backwards")
        with self._lock:
            self._target += seconds

    def hold(self):
        """Stop a real-time clock where the event thread has got to (no
        effect on a manual clock, which only moves when told to). Holds
        nest; each one is undone by one :meth:`release`."""
        with self._lock:
            if self._holds == 0:
                self._held_at = self._now
            self._holds += 1

    def release(self):
        with self._lock:
            if self._holds == 0:
                raise RuntimeError("the clock is not held")
            self._holds -= 1
            if self._holds == 0 and not self.manual:
                # Go on from the held time: the time spent held never passed.
                held_at = max(self._held_at, self._now)
                self._real_origin = time.monotonic() - held_at / self.speed

    @property
    def held(self):
        return self._holds > 0

    def seconds(self):
        """Simulated seconds since start reached by the event thread."""
        return self._now

    def now(self):
        """The simulated local time (naive datetime)."""
        return self.start + _dt.timedelta(seconds=self._now)

    def to_datetime(self, seconds):
        return self.start + _dt.timedelta(seconds=seconds)

    def _run_to(self, seconds):
        # only the event thread moves the clock
        if seconds > self._now:
            self._now = seconds
