"""The plain-Python twins of the native modules.

Each module here is the same module as one native extension module, written
in plain Python and named after it: ``security``, ``celbridge``,
``tollbook``, ``db``, ``bot`` and ``metrics``.  A twin has the native
module's namespace, docstrings, error types and texts, and makes its reads
and calls in the same order; the test suite runs each module's behaviour
tests against both, and the benchmarks time one against the other.

Importing this package imports nothing: a twin is loaded only when asked for
by name (``from velmor_trader.twins import db``).  Importing a twin does what
importing its native module does (the ``bot`` twin, like the native module,
builds a bot and starts polling).
"""
