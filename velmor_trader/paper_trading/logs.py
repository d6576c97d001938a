"""The session's log: ``session.log`` at the level chosen, warnings on the console.

Each line of the log carries its level and the simulated time beside the
wall-clock time, so that it can be read against the chat and the report.
The broker client's trace (its logger, and what it prints to standard
output) is kept, but a line it writes at every event (the account it looks
up) is written once at its level and its repeats at DEBUG, with a count at
the end, and its raw bar dumps are DEBUG only.  The same goes for the chat
library's warnings, which repeat with every message.  The session's own
lines are always written: each says something new.
"""
import collections
import logging
import re
import threading

LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")
FILE_FORMAT = "%(asctime)s %(levelname)-7s [sim %(simtime)s] %(name)s: %(message)s"
# The broker client's dump of every bar it receives.
BAR_DUMP = re.compile(r"(\[\d+\] OnTimedBars\w*: |Bar index: )")
OWN = "velmor_trader.paper_trading"
# Lines written fewer times than this are not worth a count at the end.
COUNTED = 10


class SimulatedTimeOfRecords(logging.Filter):
    """Puts the simulated time on every record (``simtime``), once there is a clock."""

    def __init__(self):
        super().__init__()
        self.clock = None

    def filter(self, record):
        clock = self.clock
        record.simtime = "--:--:--"
        if clock is not None:
            try:
                record.simtime = f"{clock.now():%H:%M:%S}"
            except Exception:             # a record must never be lost to its decoration
                pass
        return True


class Printed:
    """Where lines printed to standard output go while a session runs: the
    log, a bar dump at DEBUG, any other line at INFO."""

    def __init__(self, logger):
        self._logger, self._buffer = logger, ""
        self._lock = threading.Lock()     # several threads print

    def write(self, text):
        with self._lock:
            self._buffer += text
            *lines, self._buffer = self._buffer.split("\n")
        for line in lines:
            if line.strip():
                self._logger.log(logging.DEBUG if BAR_DUMP.match(line) else logging.INFO,
                                 "%s", line)
        return len(text)

    def flush(self):
        pass


class Repeats(logging.Filter):
    """Writes a library's line, short of an error, at its level the first
    time only: its repeats go to DEBUG (and are dropped below it), and
    ``summary()`` counts them."""

    def __init__(self, level):
        super().__init__()
        self.level = level
        self.seen = collections.Counter()
        self._lock = threading.Lock()

    def filter(self, record):
        if not logging.DEBUG < record.levelno < logging.ERROR or record.name.startswith(OWN):
            return True
        line = record.getMessage()
        with self._lock:
            self.seen[line] += 1
            again = self.seen[line] > 1
        if again:
            record.levelno, record.levelname = logging.DEBUG, "DEBUG"
        return record.levelno >= self.level

    def repeated(self):
        """(count, line) of the lines written more than once, most often first."""
        with self._lock:
            return sorted(((n, line) for line, n in self.seen.items() if n > 1),
                          key=lambda item: (-item[0], item[1]))

    def summary(self, most=10):
        for count, line in self.repeated()[:most]:
            if count >= COUNTED:
                logging.getLogger(OWN).info("written %d times (the repeats at DEBUG): %s",
                                            count, line)


def configure(path, stream, level="INFO"):
    """Log to ``path`` at ``level`` and warnings of the session's own (any
    error) to ``stream``; returns (the handlers to close, the time filter,
    the filter of repeats)."""
    root = logging.getLogger()
    root.setLevel(level)
    times, repeats = SimulatedTimeOfRecords(), Repeats(logging.getLevelName(level))
    to_file = logging.FileHandler(path, mode="w", encoding="utf-8")
    to_file.setFormatter(logging.Formatter(FILE_FORMAT))
    to_file.addFilter(repeats)
    to_file.addFilter(times)
    to_console = logging.StreamHandler(stream)
    to_console.setLevel(max(logging.WARNING, logging.getLevelName(level)))
    to_console.setFormatter(logging.Formatter("  %(levelname)s %(name)s: %(message)s"))
    # Warnings of the chat library (its connection pool) say nothing a user
    # could act on; they stay in the log. Ours, and any error, are shown.
    to_console.addFilter(lambda r: r.name.startswith("velmor_trader") or r.levelno >= logging.ERROR)
    root.handlers[:] = [to_file, to_console]
    return [to_file, to_console], times, repeats
