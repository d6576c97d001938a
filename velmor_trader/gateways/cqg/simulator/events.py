"""The event thread: runs the simulator's jobs in simulated-time order and
delivers the API's events to the sink.

Jobs run with the simulator's state lock held and queue events with
:meth:`EventLoop.emit`; the events are delivered after the job, without the
lock, so a sink may call back into the API. Events are only ever delivered on
this thread.
"""
import heapq
import itertools
import logging
import threading

logger = logging.getLogger("velmor_trader.cqg.simulator")


class EventLoop:
    def __init__(self, clock, state_lock):
        self.clock = clock
        self.state_lock = state_lock
        self.sink = None
        self.sink_errors = []          # exceptions raised by sink handlers
        self.delivered = []            # (sim seconds, event name, args) if recording
        self.record = False
        self._cond = threading.Condition()
        self._heap = []
        self._seq = itertools.count()
        self._outbox = []
        self._busy = False
        self._stopping = False
        self._thread = None

    # -- scheduling (any thread) -------------------------------------------
    def post(self, job, delay=0.0):
        """Run ``job()`` on the event thread ``delay`` simulated seconds from now."""
        with self._cond:
            due = self.clock.seconds() + max(delay, 0.0)
            heapq.heappush(self._heap, (due, next(self._seq), job))
            self._cond.notify_all()

    def post_at(self, seconds, job):
        with self._cond:
            heapq.heappush(self._heap, (seconds, next(self._seq), job))
            self._cond.notify_all()

    def emit(self, name, *args):
        """Queue the sink call ``name(*args)`` (from inside a job only)."""
        self._outbox.append((name, args))

    def muted(self, name, job):
        """Run ``job()`` (from inside a job only) with the ``name`` events
        it queues thrown away."""
        start = len(self._outbox)
        job()
        self._outbox[start:] = [e for e in self._outbox[start:] if e[0] != name]

    def wake(self):
        with self._cond:
            self._cond.notify_all()

    # -- lifecycle ------------------------------------------------------------
    def start(self):
        if self._thread is not None:
            return
        self._stopping = False
        self._thread = threading.Thread(
            target=self._run, name="cqg-sim-events", daemon=True)
        self._thread.start()

    def stop(self, timeout=5.0):
        thread = self._thread
        if thread is None:
            return
        with self._cond:
            self._stopping = True
            self._cond.notify_all()
        if thread is not threading.current_thread():
            thread.join(timeout)
        self._thread = None

    @property
    def running(self):
        return self._thread is not None and self._thread.is_alive()

    def on_event_thread(self):
        return self._thread is threading.current_thread()

    def _due(self):
        return bool(self._heap) and self._heap[0][0] <= self.clock.target()

    def wait_idle(self, timeout=10.0):
        """Block until every job due at the clock's target has run."""
        if self.on_event_thread():
            raise RuntimeError("wait_idle called from the event thread")
        with self._cond:
            self._cond.notify_all()
            return self._cond.wait_for(
                lambda: self._stopping or not (self._busy or self._due()),
                timeout)

    # -- the thread -------------------------------------------------------------
    def _next_job(self):
        with self._cond:
            self._busy = False
            while True:
                if self._stopping:
                    self._cond.notify_all()
                    return None
                target = self.clock.target()
                if self._heap and self._heap[0][0] <= target:
                    due, _, job = heapq.heappop(self._heap)
                    self.clock._run_to(due)
                    self._busy = True
                    return job
                self.clock._run_to(target)
                self._cond.notify_all()          # idle: release wait_idle
                timeout = None
                if self._heap:
                    timeout = self.clock.real_delay(self._heap[0][0] - target)
                if not self.clock.manual:
                    timeout = 0.05 if timeout is None else min(timeout, 0.05)
                self._cond.wait(timeout)

    def _run(self):
        while True:
            job = self._next_job()
            if job is None:
                return
            with self.state_lock:
                try:
                    job()
                except Exception:
                    logger.exception("simulator job failed")
                outbox, self._outbox = self._outbox, []
            for name, args in outbox:
                self._deliver(name, args)

    def _deliver(self, name, args):
        if self.record:
            self.delivered.append((self.clock.seconds(), name, args))
        handler = getattr(self.sink, name, None)
        if handler is None:
            return
        try:
            handler(*args)
        except Exception as exc:           # a real server ignores sink failures
            self.sink_errors.append(exc)
            logger.exception("event handler %s failed", name)
