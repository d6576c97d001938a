"""Write the type stubs (.pyi) of the six extension modules from the modules
themselves: their names, classes, signatures (``__signature__``) and the
annotation texts the signatures carry, stated as the types the behaviour has
where a text says less (``TYPE_OF_TEXT``, ``PRECISE``, ``ATTRIBUTES``).
tests/stubs runs mypy's stubtest on the result.

    .venv/bin/python tools/gen_stubs.py [--check]

Imports the built package (installed, or in place with PYTHONPATH=.); the
stubs are written next to the package's sources, which is where the wheel
takes them from. The chat bot's module connects when imported, so it is
imported against the local chat-service stand-in. ``--check`` writes nothing
and fails when a stub on disk differs from what the modules say now.
"""
import importlib
import logging
import inspect
import pathlib
import sys
import types

ROOT = pathlib.Path(__file__).resolve().parents[1]
MODULES = (
    "velmor_trader.core.security",
    "velmor_trader.gateways.cqg.wrapper.celbridge",
    "velmor_trader.gateways.futu.tollbook",
    "velmor_trader.plugins.sqlite3.db",
    "velmor_trader.plugins.telegram.bot",
    "velmor_trader.plugins.analysis.metrics",
)
SIMPLE = (int, float, str, bool, type(None))
KEPT_DUNDERS = ("__post_init__", "__init__", "__eq__", "__hash__", "__call__")

# The modules' annotation texts are kept as the framework wrote them, and
# some are no type at all ("np.array" is a function) or say less than the
# code does.  A type checker trusts the stub, so the stub says what the
# behaviour is.  By annotation text, wherever it occurs:
TYPE_OF_TEXT = {
    "np.array": "np.ndarray | pd.Series",
    # a member of the broker API's enumerations: an int
    "win32com.client.constants": "int",
}
_FLAG = {"return": "bool"}
_NAME = {"return": "str | None"}
# By member (module, qualified name): the type of a parameter or "return";
# for a property the getter's return, which its setter takes too.
PRECISE = {
    "velmor_trader.plugins.analysis.metrics": {
        "percentile": {"return": "Callable[[pd.Series], float]"},
        "modigliani_ratio": {"benchmark_returns": "np.ndarray | pd.Series", "days": "float"},
        "rolling_maximum_drawdown": {
            "portfolio_value": "np.ndarray | pd.Series | Sequence[float]",
            "return": "pd.Series"},
    },
    "velmor_trader.plugins.telegram.bot": {
        "CustomedExtBot.velmor_trader_status": {"return": "str"},
        "TelegramBot.velmor_trader_status": {"return": "str"},
        **{f"TelegramBot.{flag}": _FLAG for flag in (
            "get_balance", "get_positions", "get_orders", "active_orders", "get_deals",
            "cancel_order", "cancel_orders", "send_order", "close_positions")},
        "TelegramBot.num_orders_displayed": {"return": "int"},
        "TelegramBot.num_deals_displayed": {"return": "int"},
        "TelegramBot.cancel_order_id": _NAME,
        "TelegramBot.gateway_name": _NAME,
        "TelegramBot.order_string": {"return": "str"},
        "TelegramBot.close_positions_gateway_name": _NAME,
        # (command, its arguments by name), oldest first
        "TelegramBot.requests": {"return": "collections.deque[tuple[str, dict[str, Any]]]"},
        "TelegramBot.send_message": {"return": "None"},
        "TelegramBot.close": {"return": "None"},
    },
    "velmor_trader.gateways.cqg.wrapper.celbridge": {
        # the repaired bars, None while there are none
        "CelBridge.get_subscribe_bars_data": {"security": "Security",
                                              "return": "list[Bar] | None"},
    },
}
# Instance attributes the constructor makes, by class: the class itself
# cannot show them.
ATTRIBUTES = {
    "velmor_trader.gateways.cqg.wrapper.celbridge": {"CelBridge": {
        "account_balance": "AccountBalance",
        "positions": "list[PositionData]",
        "subscribe_bars_data": "dict[Security, list[Bar]]",
    }},
}
# What the precise types above need besides the module's own names.
EXTRA_IMPORTS = {
    "velmor_trader.plugins.analysis.metrics": ["from collections.abc import Callable, Sequence"],
    "velmor_trader.plugins.telegram.bot": ["import collections"],
    "velmor_trader.gateways.cqg.wrapper.celbridge": [
        "from velmor_trader.core.security import Security"],
}


class Stub:
    def __init__(self, module):
        self.module = module
        self.imports = set(EXTRA_IMPORTS.get(module.__name__, ()))
        self.body = []
        self.precise = PRECISE.get(module.__name__, {})

    # -- names from elsewhere ------------------------------------------------------
    def ref(self, obj):
        """The name by which the stub refers to a class defined elsewhere."""
        for name, value in vars(self.module).items():
            if value is obj and not name.startswith("__"):
                return name                  # imported into the module under that name
        if obj.__module__ in (self.module.__name__, "builtins"):
            return obj.__qualname__
        if not all(part.isidentifier() for part in obj.__qualname__.split(".")):
            return self.ref(obj.__mro__[1])  # a class made at run time, named by its data
        self.imports.add(f"import {obj.__module__}")
        return f"{obj.__module__}.{obj.__qualname__}"

    def value_type(self, value):
        if value is None:
            return "None"
        kind = type(value)
        if kind.__module__ == "_thread":
            self.imports.add("import threading")
            return "threading.Lock"
        return self.ref(kind)

    # -- signatures ---------------------------------------------------------------------
    def signature(self, func, name, val=None):
        """The stub's signature of ``func``, known as ``name`` in the module;
        ``val``: the type a property's setter takes where it states none."""
        try:
            signature = inspect.signature(func)
        except (TypeError, ValueError):
            return "(*args: Any, **kwargs: Any) -> Any"
        precise = self.precise.get(name, {})
        parts, star_done = [], False
        for p in signature.parameters.values():
            text = p.name
            if p.kind is p.VAR_POSITIONAL:
                text, star_done = "*" + text, True
            elif p.kind is p.VAR_KEYWORD:
                text = "**" + text
            elif p.kind is p.KEYWORD_ONLY and not star_done:
                parts.append("*")
                star_done = True
            annotation = precise.get(p.name)
            if annotation is None and p.annotation is not p.empty:
                annotation = _annotation(p.annotation)
            if annotation is None and val is not None and p.name == "val":
                annotation = val
            if annotation is not None:
                if p.default is None and "None" not in annotation and "Any" != annotation:
                    annotation += " | None"
                text += f": {annotation}"
            if p.default is not p.empty:
                default = repr(p.default) if isinstance(p.default, SIMPLE) else "..."
                text += f" = {default}" if annotation is not None else f"={default}"
            if p.kind is p.POSITIONAL_ONLY:
                text = text  # rendered by position; no native function uses these
            parts.append(text)
        result = ""
        if "return" in precise:
            result = f" -> {precise['return']}"
        elif signature.return_annotation is not signature.empty:
            result = f" -> {_annotation(signature.return_annotation)}"
        return f"({', '.join(parts)}){result}"

    # -- members ---------------------------------------------------------------------------
    def function(self, name, func, indent=""):
        self.body.append(f"{indent}def {name}{self.signature(func, name)}: ...")

    def klass(self, cls):
        bases = ", ".join(self.ref(b) for b in cls.__bases__ if b is not object)
        self.body.append(f"class {cls.__name__}({bases}):" if bases else f"class {cls.__name__}:")
        members = []
        annotations = cls.__dict__.get("__annotations__", {})
        for field, annotation in annotations.items():
            kind = _annotation(annotation)
            if cls.__dict__.get(field, ...) is None and "None" not in kind:
                kind += " | None"          # a field whose default is None
            members.append(f"    {field}: {kind}")
        for field, kind in ATTRIBUTES.get(self.module.__name__, {}).get(cls.__name__, {}).items():
            members.append(f"    {field}: {kind}")
        # Where a class holds these methods in an order of the host's own (a
        # dataclass's differs between versions), the stub keeps one order.
        names = list(cls.__dict__)
        kept = iter(sorted((n for n in names if n in KEPT_DUNDERS), key=KEPT_DUNDERS.index))
        names = [next(kept) if n in KEPT_DUNDERS else n for n in names]
        for name, member in [(n, cls.__dict__[n]) for n in names]:
            if name == "__match_args__":        # a dataclass's, for class patterns
                members.append(f"    __match_args__ = {member!r}")
                continue
            if name.startswith("__") and name not in KEPT_DUNDERS:
                continue
            path = f"{cls.__name__}.{name}"
            if isinstance(member, property):
                members.append("    @property")
                members.append(f"    def {name}{self.signature(member.fget, path)}: ...")
                if member.fset is not None:
                    taken = self.precise.get(path, {}).get("return")
                    setter = self.signature(member.fset, path + ".setter", taken)
                    members.append(f"    @{name}.setter")
                    members.append(f"    def {name}{setter}: ...")
            elif callable(member) and not isinstance(member, type):
                members.append(f"    def {name}{self.signature(member, path)}: ...")
            elif isinstance(member, types.MemberDescriptorType):     # a slot
                members.append(f"    {name}: {self.precise.get(path, {}).get('return', 'Any')}")
            elif name not in annotations:
                members.append(f"    {name}: {self.value_type(member)}")
        self.body.extend(members or ["    ..."])

    def build(self):
        module = self.module
        # Definition order, so that a class comes before the classes built on it.
        for name in [n for n in vars(module) if not (n.startswith("__") and n.endswith("__"))]:
            obj = getattr(module, name)
            if isinstance(obj, types.ModuleType):
                if obj.__name__ == name:
                    self.imports.add(f"import {name} as {name}")
                elif obj.__name__.endswith("." + name):    # import win32com.client
                    self.imports.add(f"import {obj.__name__}")
                else:
                    self.imports.add(f"import {obj.__name__} as {name}")
            elif getattr(obj, "__module__", None) not in (None, module.__name__) and (
                    isinstance(obj, type) or callable(obj) or _is_typing(obj)):
                source = obj.__module__
                self.imports.add(f"from {source} import {getattr(obj, '__name__', name)} as {name}"
                                 if not _is_typing(obj) else f"from typing import {name} as {name}")
            elif isinstance(obj, type):
                self.body.append("")
                self.klass(obj)
                self.body.append("")
            elif callable(obj):
                self.function(name, obj)
            else:
                self.body.append(f"{name}: {self.value_type(obj)}")
        if not any(i.endswith(" Any as Any") for i in self.imports):
            self.imports.add("from typing import Any")
        for line in [i for i in self.imports if i.startswith("import ") and " as " not in i]:
            if f"{line} as {line[7:]}" in self.imports:
                self.imports.discard(line)
        imports = sorted(self.imports)
        header = (f'"""Type stub of {module.__name__}, written by tools/gen_stubs.py from the '
                  f'built module."""')
        return "\n".join([header] + sorted(set(imports)) + [""] + self.body) + "\n"


def _is_typing(obj):
    return getattr(obj, "__module__", None) == "typing"


def _annotation(annotation):
    """The stub's type for a module's annotation (mostly text, which the
    stub states as an expression, not a string)."""
    if isinstance(annotation, str):
        return TYPE_OF_TEXT.get(annotation, annotation)
    return getattr(annotation, "__qualname__", repr(annotation))


def stub_path(module):
    return ROOT / pathlib.Path(*module.__name__.split(".")).with_suffix(".pyi")


def import_modules():
    """The six modules, the bot's against a local chat service it leaves at once."""
    from velmor_trader.gateways.cqg.simulator import install_win32com
    from velmor_trader.plugins.telegram.local_server import LocalChatServer

    install_win32com()
    logging.getLogger("telegram").setLevel(logging.ERROR)   # its connection-pool notice
    server = LocalChatServer(token="100001:stub-generator").start()
    config = types.ModuleType("velmor_trader_config")
    config.DB, config.TELEGRAM_TOKEN, config.TELEGRAM_CHAT_ID = {"sqlite3": "."}, "100001:stub-generator", 1
    config.TELEGRAM_BASE_URL = server.base_url
    sys.modules.setdefault("velmor_trader_config", config)
    try:
        modules = [importlib.import_module(name) for name in MODULES]
        bot = sys.modules["velmor_trader.plugins.telegram.bot"].bot
        bot.close()
        return modules
    finally:
        server.stop()


def main(argv):
    check = "--check" in argv
    stale = []
    for module in import_modules():
        text = Stub(module).build()
        path = stub_path(module)
        if check:
            if not path.exists() or path.read_text() != text:
                stale.append(str(path.relative_to(ROOT)))
        else:
            path.write_text(text)
            print("wrote", path.relative_to(ROOT))
    (ROOT / "velmor_trader" / "py.typed").touch()
    if stale:
        print("stale stubs (run tools/gen_stubs.py):", ", ".join(stale))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
