"""Each twin shows the same surface as its native module: the names of its
namespace in their order, the module's and every class's and function's
docstring, signatures, annotations and qualified names, and the objects it
imports.  The bot module starts polling when imported, so each side of it is
described by a child interpreter against the local chat server."""
import inspect
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

from implementations import NATIVE, module_name
from twin_differences import SOURCE_ONLY_CLASS_ATTRIBUTES, TWIN_ONLY_NAMES

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent


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
    return {"value": re.sub(r" at 0x[0-9a-f]+", "", repr(value))}  # no addresses


def describe(module):
    """A JSON-able description of what the module offers."""
    own = module.__name__

    def where(cls):  # the module's own classes without the module's name
        return ("" if cls.__module__ == own else cls.__module__ + ".") + cls.__qualname__
    names = [n for n in vars(module) if not (n.startswith("__") and n.endswith("__"))]
    out = {"doc": module.__doc__, "names": names, "objects": {}}
    for name in names:
        value = vars(module)[name]
        if isinstance(value, type) and value.__module__ == own:
            members = {k: _member(v) for k, v in vars(value).items()
                       if k not in ("__module__", "__dict__", "__weakref__", "__doc__")
                       + SOURCE_ONLY_CLASS_ATTRIBUTES}
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


# Described in a fresh interpreter each: tests elsewhere patch module
# attributes, and a name put back lands at the end of the namespace.
PROGRAM = """if True:
    import importlib, json, sys
    from test_twin_surface import describe
    if "celbridge" in sys.argv[1]:
        from velmor_trader.gateways.cqg.simulator import install_win32com
        install_win32com()
    m = importlib.import_module(sys.argv[1])
    if hasattr(m, "bot"):
        m.bot.close()
    print(json.dumps(describe(m)))
"""


def _described(name, env, cwd):
    out = {}
    for impl in ("native", "twin"):
        done = subprocess.run([sys.executable, "-c", PROGRAM, module_name(name, impl)],
                              env=env, cwd=cwd, capture_output=True, text=True, timeout=120,
                              stdin=subprocess.DEVNULL)
        assert done.returncode == 0, done.stderr
        out[impl] = json.loads(done.stdout.splitlines()[-1])
    return out


def _env(extra=()):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*extra, str(HERE), str(TESTS)]
                                        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


@pytest.mark.parametrize("name", ["security", "tollbook", "db", "metrics", "celbridge"])
def test_twin_surface_equals_native(name, tmp_path):
    described = _described(name, _env(), tmp_path)
    _compare(name, described["native"], described["twin"])
    for helper in TWIN_ONLY_NAMES[name]:  # listed helpers are private
        assert helper.rpartition(".")[2].startswith("_"), helper


def test_bot_twin_surface_equals_native(tmp_path):
    """The bot polls once imported: both sides against the local chat server."""
    sys.path.insert(0, str(TESTS / "bot"))
    try:
        from bot_helpers import TOKEN, subprocess_env, write_config
    finally:
        sys.path.remove(str(TESTS / "bot"))
    from velmor_trader.plugins.telegram.local_server import LocalChatServer

    with LocalChatServer(token=TOKEN, max_poll_hold=0.2) as server:
        write_config(tmp_path, server.base_url)
        env = subprocess_env(tmp_path)
        env["PYTHONPATH"] = os.pathsep.join([env["PYTHONPATH"], str(HERE), str(TESTS)])
        described = _described("bot", env, tmp_path)
    _compare("bot", described["native"], described["twin"])


def test_every_module_has_a_twin():
    assert set(NATIVE) == set(TWIN_ONLY_NAMES)
