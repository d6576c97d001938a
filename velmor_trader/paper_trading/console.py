"""What a person sees while the session runs: a progress line every few
simulated minutes and the chat as it happens."""
import errno
import threading


class Terminal:
    """The person's standard output, as the console and the console's log
    handler share it.

    A reader that goes away (``| head -5``) closes the pipe: the first write
    that fails calls ``on_closed`` once, and every write after it is dropped.
    The session then winds down as usual and writes its files; nobody is left
    to read a traceback."""

    def __init__(self, stream, on_closed=None):
        self.stream, self.on_closed = stream, on_closed
        self.closed = False
        self._lock = threading.Lock()

    def write(self, text):
        with self._lock:
            if self.closed:
                return len(text)
            try:
                self.stream.write(text)
                self.stream.flush()
            except (BrokenPipeError, ValueError):     # ValueError: the stream was closed
                self.closed = True
            except OSError as exc:
                # Windows reports a pipe closed at the other end as EINVAL.
                if exc.errno not in (errno.EPIPE, errno.EINVAL):
                    raise
                self.closed = True
            else:
                return len(text)
        # Outside the lock: what on_closed logs comes back here, to be dropped.
        if self.on_closed is not None:
            self.on_closed()
        return len(text)

    def flush(self):
        pass


class Console:
    def __init__(self, stream, minutes, start_cash):
        self.stream = stream
        self.every = max(1, minutes // 12)
        self.minutes, self.start_cash = minutes, start_cash
        self.deals = 0
        self._lock = threading.Lock()

    def line(self, text=""):
        with self._lock:
            self.stream.write(text + "\n")
            self.stream.flush()

    def note(self, text):
        self.line(f"  note: {text}")

    def deal(self, deal, order, fees):
        self.deals += 1

    def progress(self, engine):
        if engine.minute % self.every and engine.minute != self.minutes:
            return
        equity = engine.equity(self.start_cash)
        done = engine.minute / self.minutes
        bar = "#" * round(20 * done) + "." * (20 - round(20 * done))
        self.line(f"  {engine.clock.now():%H:%M}  [{bar}] minute {engine.minute:>3}/{self.minutes}"
                  f"  equity {equity:,.2f} ({equity - self.start_cash:+,.2f})"
                  f"  orders {len(engine.orders)}  deals {self.deals}"
                  f"  fees {engine.fees_charged():,.2f}")

    def chat(self, command, answer):
        self.line(f"  chat  > {command}")
        self.line(f"  chat  < {answer if answer is not None else '(no answer)'}")
