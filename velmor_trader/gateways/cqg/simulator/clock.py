"""The simulated clock.

In manual mode (``speed=None``, the default) simulated time stands still until
:meth:`SimClock.advance` moves it, which makes runs reproducible and fast.
With a ``speed`` the clock follows the wall clock, ``speed`` simulated seconds
per real second.
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

    @property
    def manual(self):
        return self.speed is None

    def target(self):
        """Seconds since start up to which events are due."""
        if self.manual:
            with self._lock:
                return self._target
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
