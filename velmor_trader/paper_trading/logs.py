"""The session's log: ``session.log`` at the level chosen, warnings on the console.

Each line of the log carries its level and the simulated time beside the
wall-clock time, so that it can be read against the chat and the report.
What libraries print to standard output (the broker client's trace) goes
into the log too, but a line printed at every event is written once at INFO
and its repeats at DEBUG, with a count at the end, and the raw bar dumps
are DEBUG only.
"""
import collections
import logging
import re
import threading

LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")
FILE_FORMAT = "%(asctime)s %(levelname)-7s [sim %(simtime)s] %(name)s: %(message)s"
# The broker client's dump of every bar it receives.
BAR_DUMP = re.compile(r"(\[\d+\] OnTimedBars\w*: |Bar index: )")


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
    """Where lines printed to standard output go while a session runs."""

    def __init__(self, logger):
        self._logger, self._buffer = logger, ""
        self._seen = collections.Counter()
        self._lock = threading.Lock()     # several threads print

    def write(self, text):
        with self._lock:
            self._buffer += text
            *lines, self._buffer = self._buffer.split("\n")
            for line in lines:
                self._log(line)
        return len(text)

    def flush(self):
        pass

    def _log(self, line):
        if not line.strip():
            return
        if BAR_DUMP.match(line):
            self._logger.debug("%s", line)
            return
        self._seen[line] += 1
        self._logger.log(logging.INFO if self._seen[line] == 1 else logging.DEBUG, "%s", line)

    def repeated(self):
        """(count, line) of the lines printed more than once, most often first."""
        with self._lock:
            return sorted(((n, line) for line, n in self._seen.items() if n > 1),
                          key=lambda item: (-item[0], item[1]))

    def summarise(self, most=10):
        for count, line in self.repeated()[:most]:
            self._logger.info("printed %d times (the repeats at DEBUG): %s", count, line)


def configure(path, stream, level="INFO"):
    """Log to ``path`` at ``level`` and warnings of the session's own (any
    error) to ``stream``; returns (the handlers to close, the time filter)."""
    root = logging.getLogger()
    root.setLevel(level)
    times = SimulatedTimeOfRecords()
    to_file = logging.FileHandler(path, mode="w", encoding="utf-8")
    to_file.setFormatter(logging.Formatter(FILE_FORMAT))
    to_file.addFilter(times)
    to_console = logging.StreamHandler(stream)
    to_console.setLevel(max(logging.WARNING, logging.getLevelName(level)))
    to_console.setFormatter(logging.Formatter("  %(levelname)s %(name)s: %(message)s"))
    # Warnings of the chat library (its connection pool) say nothing a user
    # could act on; they stay in the log. Ours, and any error, are shown.
    to_console.addFilter(lambda r: r.name.startswith("velmor_trader") or r.levelno >= logging.ERROR)
    root.handlers[:] = [to_file, to_console]
    return [to_file, to_console], times
