import os
import shutil
import sys
import tempfile
import types

import pytest

from implementations import implementation


@pytest.fixture
def dbmod(impl):
    return implementation("db", impl)


@pytest.fixture
def config(tmp_path, monkeypatch):
    """A configuration module whose database directory is tmp_path."""
    mod = types.ModuleType("velmor_trader_config")
    mod.DB = {"sqlite3": str(tmp_path)}
    monkeypatch.setitem(sys.modules, "velmor_trader_config", mod)
    return mod


@pytest.fixture
def shm_config(tmp_path, monkeypatch):
    """Like config, on a memory-backed directory where there is one: the
    concurrency tests commit thousands of times."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    path = tempfile.mkdtemp(dir=base) if base else str(tmp_path)
    mod = types.ModuleType("velmor_trader_config")
    mod.DB = {"sqlite3": path}
    monkeypatch.setitem(sys.modules, "velmor_trader_config", mod)
    yield mod
    if base:
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def db(dbmod, config):
    inst = dbmod.DB()
    yield inst
    try:
        inst.close()
    except Exception:
        pass


@pytest.fixture
def traced(db):
    """Statements the driver runs on db's connection, BEGIN/COMMIT left out."""
    seen = []

    def keep(stmt):
        if stmt not in ("BEGIN ", "COMMIT"):
            seen.append(stmt)

    db.conn.set_trace_callback(keep)
    yield seen
    db.conn.set_trace_callback(None)
