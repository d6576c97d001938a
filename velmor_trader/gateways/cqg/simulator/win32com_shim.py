"""A stand-in for the part of ``win32com`` that the broker client uses.

Nothing here is importable as ``win32com`` until :func:`install_win32com` is
called, and even then only when no real ``win32com`` can be found: the stand-in
is a meta path finder placed after every other finder.
"""
import importlib.abc
import importlib.machinery
import importlib.util
import sys
import types

from .constants import constants

_NAMES = ("win32com", "win32com.client")


class com_error(Exception):
    """Raised where a COM call would fail (no such server)."""


def Dispatch(obj, *args, **kwargs):
    """Return a simulator object as it is; a server name cannot be started."""
    if isinstance(obj, str):
        raise com_error("Invalid class string: %s" % obj)
    return obj


def _build(name):
    module = types.ModuleType(name)
    if name == "win32com":
        module.__path__ = []
        module.__doc__ = "Simulated stand-in for the COM client package."
    else:
        module.__doc__ = "Simulated COM client: Dispatch and constants."
        module.Dispatch = Dispatch
        module.constants = constants
        module.com_error = com_error
    return module


class _Loader(importlib.abc.Loader):
    def create_module(self, module_spec):
        return _build(module_spec.name)

    def exec_module(self, module):
        if module.__name__ == "win32com.client":
            sys.modules["win32com"].client = module


class Win32comFinder(importlib.abc.MetaPathFinder):
    """Supplies the stand-in modules when no other finder knows them."""

    def find_spec(self, fullname, path=None, target=None):
        if fullname not in _NAMES:
            return None
        return importlib.machinery.ModuleSpec(
            fullname, _Loader(), is_package=(fullname == "win32com"))


def _real_win32com_exists():
    for finder in sys.meta_path:
        if isinstance(finder, Win32comFinder):
            continue
        find = getattr(finder, "find_spec", None)
        if find is not None and find("win32com", None) is not None:
            return True
    return False


def install_win32com():
    """Make ``import win32com.client`` give the stand-in.

    Returns True when the stand-in is (now) in use, False when a real
    ``win32com`` exists, in which case nothing is changed.
    """
    if any(isinstance(f, Win32comFinder) for f in sys.meta_path):
        return True
    if "win32com" in sys.modules or _real_win32com_exists():
        return False
    sys.meta_path.append(Win32comFinder())
    return True


def uninstall_win32com():
    """Undo :func:`install_win32com` (the stand-in modules are unloaded)."""
    sys.meta_path[:] = [f for f in sys.meta_path
                        if not isinstance(f, Win32comFinder)]
    for name in _NAMES:
        module = sys.modules.get(name)
        if module is not None and isinstance(
                getattr(module, "__spec__", None) and module.__spec__.loader,
                _Loader):
            del sys.modules[name]
