"""What the order-book and bar tests share: the native client and the
plain-Python one of the benchmark, and a light security key."""
import functools
import importlib
import importlib.util
import pathlib
from typing import Any, NamedTuple

from velmor_trader.gateways.cqg.simulator import install_win32com

ROOT = pathlib.Path(__file__).resolve().parents[2]
INVALID = -2147483648


class Key(NamedTuple):
    """Stands in for a Security where only hashing, `code` and `exchange`
    matter."""
    code: str
    exchange: Any = "CME"


@functools.lru_cache(maxsize=None)
def module(kind):
    """The native extension module ("native") or the plain-Python client of
    the benchmark ("pure")."""
    install_win32com()
    if kind == "native":
        return importlib.import_module("velmor_trader.gateways.cqg.wrapper.celbridge")
    spec = importlib.util.spec_from_file_location(
        "celbridge_pure", ROOT / "bench" / "pure" / "celbridge_py.py")
    pure = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(pure)
    return pure
