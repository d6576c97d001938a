"""The stubs of the six extension modules, checked against the modules.

Run as a program it imports the modules as each needs (the broker client
with the COM stand-in, the chat bot against a local stand-in of the chat
service: it connects when imported), runs mypy's stubtest on all six
(names, signatures, defaults, kinds of member), and then checks what
stubtest cannot see: that the values the modules return and hold are of the
types the stubs state.  It prints one JSON object.
"""
import collections.abc
import contextlib
import importlib
import io
import json
import logging
import pathlib
import sys
import types
import typing

HERE = pathlib.Path(__file__).resolve().parent
MODULES = (
    "velmor_trader.core.security",
    "velmor_trader.gateways.cqg.wrapper.celbridge",
    "velmor_trader.gateways.futu.tollbook",
    "velmor_trader.plugins.sqlite3.db",
    "velmor_trader.plugins.telegram.bot",
    "velmor_trader.plugins.analysis.metrics",
)


NO_TYPE = object()            # where a stub states no type


def stated(function, namespace, what="return"):
    """The type a stub function states for ``what``, a quoted one evaluated
    in the stub's namespace."""
    kind = function.__annotations__.get(what, NO_TYPE)
    if isinstance(kind, str):
        try:
            kind = eval(kind, namespace)
        except Exception:
            return NO_TYPE
    return kind


def stub_namespace(module):
    """The module's stub run as Python: its annotations become the types
    they name (a stub is valid Python once the module has been imported)."""
    path = pathlib.Path(module.__file__).parent / (module.__name__.rsplit(".", 1)[1] + ".pyi")
    namespace = {"__name__": f"stub of {module.__name__}"}
    exec(compile(path.read_text(), str(path), "exec"), namespace)
    return namespace


def conforms(value, kind):
    """Whether ``value`` is of the stub type ``kind``; of a generic type only
    the container is checked.  No stated type, or one that is no type (a
    quoted "np.array" names a function), is a mismatch."""
    if kind is NO_TYPE or not (kind is None or isinstance(kind, type) or typing.get_origin(kind)
                               or kind is typing.Any):
        return False
    if kind is typing.Any:
        return True
    if kind is None or kind is type(None):
        return value is None
    origin = typing.get_origin(kind)
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, k) for k in typing.get_args(kind))
    if origin is collections.abc.Callable:
        return callable(value)
    return isinstance(value, origin or kind)


def metrics_mismatches(metrics, stub):
    """Each function's result on a sample of the inputs it takes, against
    its stub's return type."""
    import numpy as np
    import pandas as pd

    values, other = [0.01, 0.03, -0.02, 0.015], [0.0, 0.01, 0.02, -0.01]
    calls = [("sharpe_ratio", (np.array(values),)), ("sharpe_ratio", (pd.Series(values),)),
             ("sharpe_ratio", (np.array([0.01, 0.01]),)),               # np.nan, a float
             ("information_ratio", (pd.Series(values), pd.Series(other))),
             ("modigliani_ratio", (np.array(values), np.array(other))),
             ("rolling_maximum_drawdown", (pd.Series([100.0, 120.0, 90.0]),)),
             ("rolling_maximum_drawdown", ([100.0, 120.0, 90.0], 2)),
             ("percentile", (25,)),
             ("convert_time", ("09:45:00",)),
             ("holding_period", (pd.Series({"open_datetime": "2024-01-02 09:30:00",
                                            "close_datetime": "2024-01-02 11:00:30"}),))]
    out = []
    for name, args in calls:
        result = getattr(metrics, name)(*args)
        kind = stated(stub[name], stub)
        if not conforms(result, kind):
            out.append(f"metrics.{name}: returned {type(result).__name__}, stub says "
                       f"{stub[name].__annotations__.get('return')!r}")
    return out


def attribute_mismatches(where, obj, stub_class, namespace):
    """The stub class's annotated attributes and properties against the
    values ``obj`` holds."""
    out = []
    for name, kind in vars(stub_class).get("__annotations__", {}).items():
        if isinstance(kind, str):
            kind = stated(types.SimpleNamespace(__annotations__={"k": kind}), namespace, "k")
        if not hasattr(obj, name):
            out.append(f"{where}.{name}: in the stub, not on the object")
        elif not conforms(getattr(obj, name), kind):
            out.append(f"{where}.{name}: {type(getattr(obj, name)).__name__}, stub says {kind}")
    for name, member in vars(stub_class).items():
        if isinstance(member, property):
            kind = stated(member.fget, namespace)
            if not conforms(getattr(obj, name), kind):
                out.append(f"{where}.{name}: {type(getattr(obj, name)).__name__}, stub says "
                           f"{member.fget.__annotations__.get('return')!r}")
    return out


def set_up():
    """Import the six modules; returns the chat stand-in, still serving."""
    from velmor_trader.gateways.cqg.simulator import install_win32com
    from velmor_trader.plugins.telegram.local_server import LocalChatServer

    install_win32com()
    logging.getLogger("telegram").setLevel(logging.ERROR)
    server = LocalChatServer(token="100001:stub-check").start()
    config = types.ModuleType("velmor_trader_config")
    config.DB, config.TELEGRAM_TOKEN, config.TELEGRAM_CHAT_ID = {"sqlite3": "."}, server.token, 1
    config.TELEGRAM_BASE_URL = server.base_url
    sys.modules["velmor_trader_config"] = config
    for name in MODULES:
        importlib.import_module(name)
    return server


def stubtest(modules=MODULES):
    """(exit code, output) of mypy's stubtest over the imported modules."""
    from mypy import stubtest as tool

    options = tool.parse_options([*modules, "--mypy-config-file", str(HERE / "mypy.ini"),
                                  "--allowlist", str(HERE / "stubtest-allowlist.txt"),
                                  # an entry for one version is unused on the others
                                  "--ignore-unused-allowlist"])
    output = io.StringIO()
    with contextlib.redirect_stdout(output), contextlib.redirect_stderr(output):
        code = tool.test_stubs(options)
    return code, output.getvalue()


def behaviour_mismatches():
    modules = {name.rsplit(".", 1)[1]: sys.modules[name] for name in MODULES}
    out = metrics_mismatches(modules["metrics"], stub_namespace(modules["metrics"]))
    bot_stub = stub_namespace(modules["bot"])
    bot = modules["bot"].bot
    out += attribute_mismatches("TelegramBot", bot, bot_stub["TelegramBot"], bot_stub)
    out += attribute_mismatches("CustomedExtBot", bot.updater.bot, bot_stub["CustomedExtBot"],
                                bot_stub)
    celbridge, bridge_stub = modules["celbridge"], stub_namespace(modules["celbridge"])
    bridge = celbridge.CelBridge()
    out += attribute_mismatches("CelBridge", bridge, bridge_stub["CelBridge"], bridge_stub)
    # what the stub must declare for the engine's use: the constructor makes it
    out += [f"CelBridge.{name}: not in the stub" for name in ("account_balance", "positions")
            if name not in vars(bridge_stub["CelBridge"]).get("__annotations__", {})]
    return out


def main():
    server = set_up()
    try:
        code, output = stubtest()
        mismatches = behaviour_mismatches()
    finally:
        sys.modules["velmor_trader.plugins.telegram.bot"].bot.close()
        server.stop()
    print(json.dumps({"stubtest": code, "output": output, "mismatches": mismatches}))


if __name__ == "__main__":
    main()
