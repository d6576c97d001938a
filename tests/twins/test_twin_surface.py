"""Each twin shows the same surface as its native module: the names of its
namespace in their order, the module's and every class's and function's
docstring, signatures, annotations and qualified names, and the objects it
imports.  The bot module starts polling when imported, so each side of it is
described by a child interpreter against the local chat server."""
import inspect
import json
import os
import pathlib
import subprocess
import sys

import pytest

from implementations import NATIVE, implementation, module_name
from twin_differences import TWIN_ONLY_NAMES

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent
STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
            "__cached__", "__builtins__"}


def _signature(obj):
    try:
        return str(inspect.signature(obj))
    except (TypeError, ValueError):
        return None


def _function(fn):
    return {"doc": fn.__doc__, "name": fn.__name__, "qualname": fn.__qualname__,
            "signature": _signature(fn), "annotations": dict(getattr(fn, "__annotations__", {}))}


def _member(value):
    if isinstance(value, property):
        return {"property": [None if f is None else _function(f)
                             for f in (value.fget, value.fset, value.fdel)]}
    if isinstance(value, (staticmethod, classmethod)):
        return {type(value).__name__: _function(value.__func__)}
    if callable(value) and hasattr(value, "__qualname__"):
        return _function(getattr(value, "__wrapped__", value))
    return {"value": repr(value)}


def describe(module):
    """A JSON-able description of what the module offers."""
    own = module.__name__

    def where(cls):  # the module's own classes without the module's name
        return ("" if cls.__module__ == own else cls.__module__ + ".") + cls.__qualname__
    names = [n for n in vars(module) if n not in STANDARD]
    out = {"doc": module.__doc__, "names": names, "objects": {}}
    for name in names:
        value = vars(module)[name]
        if isinstance(value, type) and value.__module__ == own:
            members = {k: _member(v) for k, v in vars(value).items()
                       if k not in ("__module__", "__dict__", "__weakref__", "__doc__")}
            out["objects"][name] = {
                "class": value.__qualname__, "doc": value.__doc__,
                "bases": [where(b) for b in value.__bases__],
                "members": members}
        elif callable(value) and getattr(value, "__module__", None) == own:
            out["objects"][name] = _function(value)
        else:  # imported or a plain value: what it is, not where it was made
            out["objects"][name] = {"imported": where(type(value)),
                                    "name": getattr(value, "__name__", None)}
    return out


def _without_twin_helpers(name, described):
    for helper in TWIN_ONLY_NAMES[name]:
        owner, _, member = helper.rpartition(".")
        if owner:
            described["objects"][owner]["members"].pop(member, None)
        else:
            described["names"].remove(helper)
            described["objects"].pop(helper)
    return described


def _compare(name, native, twin):
    twin = _without_twin_helpers(name, twin)
    assert twin["names"] == native["names"]
    assert twin["doc"] == native["doc"]
    for key in native["objects"]:
        assert twin["objects"][key] == native["objects"][key], key


@pytest.mark.parametrize("name", ["security", "tollbook", "db", "metrics", "celbridge"])
def test_twin_surface_equals_native(name):
    if name == "celbridge":
        from velmor_trader.gateways.cqg.simulator import install_win32com
        install_win32com()
    native, twin = implementation(name, "native"), implementation(name, "twin")
    _compare(name, describe(native), describe(twin))
    for helper in TWIN_ONLY_NAMES[name]:  # listed helpers are private and still there
        assert helper.rpartition(".")[2].startswith("_"), helper


def test_bot_twin_surface_equals_native(tmp_path):
    """Each side described by an interpreter of its own."""
    sys.path.insert(0, str(TESTS / "bot"))
    try:
        from bot_helpers import TOKEN, subprocess_env, write_config
    finally:
        sys.path.remove(str(TESTS / "bot"))
    from velmor_trader.plugins.telegram.local_server import LocalChatServer

    program = ("import importlib, json, sys\n"
               "from test_twin_surface import describe\n"
               "m = importlib.import_module(sys.argv[1])\n"
               "m.bot.close()\n"
               "print(json.dumps(describe(m)))\n")
    described = {}
    with LocalChatServer(token=TOKEN, max_poll_hold=0.2) as server:
        write_config(tmp_path, server.base_url)
        env = subprocess_env(tmp_path)
        env["PYTHONPATH"] = os.pathsep.join([env["PYTHONPATH"], str(HERE), str(TESTS)])
        for impl in ("native", "twin"):
            done = subprocess.run([sys.executable, "-c", program, module_name("bot", impl)],
                                  env=env, cwd=tmp_path, capture_output=True, text=True,
                                  timeout=60, stdin=subprocess.DEVNULL)
            assert done.returncode == 0, done.stderr
            described[impl] = json.loads(done.stdout.splitlines()[-1])
    _compare("bot", described["native"], described["twin"])


def test_every_module_has_a_twin():
    assert set(NATIVE) == set(TWIN_ONLY_NAMES)
