"""The output folder: which of its files a session may touch, and where an
earlier session's records go.

A session writes only files of its own.  It runs in a folder that is new,
empty, or used by sessions alone (their lock file is there, and nothing but
the files a session writes); a folder that holds anything else is refused, so
that a person's own ``report.txt`` or ``chat.txt`` is never overwritten.

An earlier session's records are never deleted: before a new session writes,
it moves them into a folder of their own beside it, named after when that
session started (``session-20261209-234012``), with ``-crashed`` added when its
balance still says RUNNING (it was killed, or its machine went down).
"""
import contextlib
import datetime
import os
import re
import sqlite3

DB_FILE = "velmor_trader.db"
LOCK_FILE = "session.lock"
# Everything a session leaves in its folder, the database first and its -wal
# and -shm files with it (they belong to that database alone: they move with it).
OUTPUTS = (DB_FILE, DB_FILE + "-wal", DB_FILE + "-shm", DB_FILE + "-journal",
           "report.txt", "report.png", "chat.txt", "session.json", "session.log")
# A file being written, before it is moved into place whole.
PARTIAL = re.compile(r"\.[\w-]+\.partial(\.\w+)?")
EARLIER = re.compile(r"session-\d{8}-\d{6}(-crashed)?(-\d+)?")


def partial_name(path):
    return path.with_name(f".{path.stem}.partial{path.suffix}")


def foreign(out):
    """The names in ``out`` that no session wrote, sorted: none for a folder
    that is missing, empty, or only ever used by sessions."""
    if not out.is_dir():
        return []
    names = sorted(entry.name for entry in out.iterdir())
    if LOCK_FILE not in names:            # no session ever ran here
        return names
    return [name for name in names
            if not (name in OUTPUTS or name == LOCK_FILE or PARTIAL.fullmatch(name)
                    or (EARLIER.fullmatch(name) and (out / name).is_dir()))]


def started_at(out):
    """When the last session in ``out`` started: it wrote its process id into
    the lock file as it took the folder.  Read before this one does the same."""
    with contextlib.suppress(OSError):
        return datetime.datetime.fromtimestamp((out / LOCK_FILE).stat().st_mtime)
    return datetime.datetime.now()


def still_running(db):
    """Whether the database's balance says RUNNING: its session never got to
    mark it STOPPED."""
    if not db.exists():
        return False
    # Read only: the earlier session's files stay as it left them.  Without
    # its -shm file a read-only reader cannot use the write-ahead log; the
    # file as last checkpointed still holds the balance row then.
    for options in ("mode=ro", "immutable=1"):
        try:
            connection = sqlite3.connect(f"{db.as_uri()}?{options}", uri=True)
            try:
                row = connection.execute(
                    "SELECT strategy_status FROM balance ORDER BY id DESC LIMIT 1").fetchone()
            finally:
                connection.close()
        except sqlite3.Error:
            continue
        return row is not None and row[0] == "RUNNING"
    return False


def set_aside(out, started):
    """Move the earlier session's files out of the way, into a folder named
    after ``started``; returns (that folder, whether it had crashed), or None
    when there was nothing to keep.  Call it only while holding the lock."""
    present = [out / name for name in OUTPUTS if (out / name).exists()]
    present += [path for path in out.iterdir() if PARTIAL.fullmatch(path.name)]
    if not present:
        return None
    crashed = still_running(out / DB_FILE)
    name = f"session-{started:%Y%m%d-%H%M%S}" + ("-crashed" if crashed else "")
    aside, number = out / name, 1
    while aside.exists():
        number += 1
        aside = out / f"{name}-{number}"
    aside.mkdir()
    for path in present:
        os.replace(path, aside / path.name)
    return aside, crashed
