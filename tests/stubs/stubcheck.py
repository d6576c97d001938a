"""Compare each extension module with the stub installed next to it.

Run as a program it imports the six modules (the chat bot's against a local
stand-in of the chat service, since it connects when imported) and prints
one JSON list of disagreements.
"""
import ast
import importlib
import inspect
import json
import logging
import pathlib
import sys
import types

MODULES = (
    "velmor_trader.core.security",
    "velmor_trader.gateways.cqg.wrapper.celbridge",
    "velmor_trader.gateways.futu.tollbook",
    "velmor_trader.plugins.sqlite3.db",
    "velmor_trader.plugins.telegram.bot",
    "velmor_trader.plugins.analysis.metrics",
)
KEPT_DUNDERS = {"__init__", "__eq__", "__hash__", "__post_init__", "__call__"}
SIMPLE = (int, float, str, bool, type(None))


def _public(names):
    return {n for n in names if not (n.startswith("__") and n.endswith("__"))}


def stub_names(tree):
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.asname:
                    names.add(alias.asname)
                elif isinstance(node, ast.Import):
                    names.add(alias.name.split(".")[0])
    return names


def stub_params(func):
    """(kind, name, annotation text, default) of a stub's def."""
    a, out = func.args, []
    defaults = [None] * (len(a.args) - len(a.defaults)) + list(a.defaults)
    for arg, default in zip(a.args, defaults):
        out.append(("positional", arg.arg, _text(arg.annotation), _text(default)))
    if a.vararg:
        out.append(("*", a.vararg.arg, _text(a.vararg.annotation), None))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append(("keyword", arg.arg, _text(arg.annotation), _text(default)))
    if a.kwarg:
        out.append(("**", a.kwarg.arg, _text(a.kwarg.annotation), None))
    return out, _text(func.returns)


def live_params(obj):
    sig = inspect.signature(obj)
    kinds = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**",
             inspect.Parameter.KEYWORD_ONLY: "keyword"}
    out = []
    for p in sig.parameters.values():
        default = None
        if p.default is not p.empty:
            default = repr(p.default) if isinstance(p.default, SIMPLE) else "..."
        annotation = None if p.annotation is p.empty else _live_text(p.annotation)
        out.append((kinds.get(p.kind, "positional"), p.name, annotation, default))
    returns = None if sig.return_annotation is sig.empty else _live_text(sig.return_annotation)
    return out, returns


def _text(node):
    if node is None:
        return None
    if isinstance(node, ast.Constant):
        return "..." if node.value is Ellipsis else repr(node.value)
    return ast.unparse(node)


def _live_text(annotation):
    return repr(annotation) if isinstance(annotation, str) else getattr(
        annotation, "__qualname__", repr(annotation))


def compare(module, stub_text):
    """The disagreements between a module and the text of its stub."""
    tree = ast.parse(stub_text)
    problems = []
    live_names, stub = _public(vars(module)), stub_names(tree)
    if live_names != stub:
        problems.append(f"{module.__name__}: names only in the module "
                        f"{sorted(live_names - stub)}, only in the stub {sorted(stub - live_names)}")
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and hasattr(module, node.name):
            _same(problems, f"{module.__name__}.{node.name}", getattr(module, node.name), node)
        elif isinstance(node, ast.ClassDef) and isinstance(getattr(module, node.name, None), type):
            _compare_class(problems, module, getattr(module, node.name), node)
    return problems


def _compare_class(problems, module, cls, node):
    where = f"{module.__name__}.{cls.__name__}"
    members = {n for n in cls.__dict__ if not n.startswith("__") or n in KEPT_DUNDERS}
    members |= set(cls.__dict__.get("__annotations__", {}))
    declared = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            declared.setdefault(item.name, item)
        elif isinstance(item, ast.AnnAssign):
            declared.setdefault(item.target.id, None)
    if set(declared) != members:
        problems.append(f"{where}: members only in the class {sorted(members - set(declared))}, "
                        f"only in the stub {sorted(set(declared) - members)}")
    for name, item in declared.items():
        member = cls.__dict__.get(name)
        if item is None or member is None:
            continue
        if isinstance(member, property):
            member = member.fget
        if callable(member):
            _same(problems, f"{where}.{name}", member, item)


def _same(problems, where, live, node):
    try:
        expected = live_params(live)
    except (TypeError, ValueError):
        return
    if stub_params(node) != expected:
        problems.append(f"{where}: stub {stub_params(node)} but module {expected}")


def import_modules():
    from velmor_trader.gateways.cqg.simulator import install_win32com
    from velmor_trader.plugins.telegram.local_server import LocalChatServer

    install_win32com()
    logging.getLogger("telegram").setLevel(logging.ERROR)
    server = LocalChatServer(token="100001:stub-check").start()
    config = types.ModuleType("velmor_trader_config")
    config.DB, config.TELEGRAM_TOKEN, config.TELEGRAM_CHAT_ID = {"sqlite3": "."}, server.token, 1
    config.TELEGRAM_BASE_URL = server.base_url
    sys.modules["velmor_trader_config"] = config
    try:
        modules = [importlib.import_module(name) for name in MODULES]
        sys.modules["velmor_trader.plugins.telegram.bot"].bot.close()
        return modules
    finally:
        server.stop()


def main():
    problems = []
    for module in import_modules():
        path = pathlib.Path(module.__file__).parent / (module.__name__.rsplit(".", 1)[1] + ".pyi")
        if not path.exists():
            problems.append(f"{module.__name__}: no stub at {path}")
            continue
        problems += compare(module, path.read_text())
    typed = pathlib.Path(sys.modules["velmor_trader"].__file__).parent / "py.typed"
    if not typed.exists():
        problems.append("velmor_trader: no py.typed")
    print(json.dumps(problems))


if __name__ == "__main__":
    main()
