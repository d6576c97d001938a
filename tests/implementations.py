"""The two implementations of each module: the native extension module and
its plain-Python twin in velmor_trader.twins."""
import importlib

IMPLS = ("native", "twin")

NATIVE = {
    "security": "velmor_trader.core.security",
    "celbridge": "velmor_trader.gateways.cqg.wrapper.celbridge",
    "tollbook": "velmor_trader.gateways.futu.tollbook",
    "db": "velmor_trader.plugins.sqlite3.db",
    "bot": "velmor_trader.plugins.telegram.bot",
    "metrics": "velmor_trader.plugins.analysis.metrics",
}


def module_name(name, impl):
    """The dotted name of module `name` on side `impl` (for child interpreters)."""
    if impl == "native":
        return NATIVE[name]
    if impl == "twin":
        return "velmor_trader.twins." + name
    raise ValueError(f"unknown implementation {impl!r}")


def implementation(name, impl):
    """Module `name` ("security", "db", ...) as built natively or as its twin."""
    return importlib.import_module(module_name(name, impl))
