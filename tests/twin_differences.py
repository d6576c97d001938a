"""Every intended difference between a native module and its twin, each with
its reason.  Anything not listed here is a fault of one side or the other.

The module's own name: the twin lives at ``velmor_trader.twins.<module>``, so
its ``__name__``, the ``__module__`` of what it defines and the name of the
bot's logger (``logging.getLogger(__name__)``) name the twin's module.  Tests
compare them with ``module.__name__`` of the side under test.

Type names in host-written errors: the host names a type defined in C with
its module ("numpy.float64") and any other type by its name; the twins do
the same, so texts are compared exactly where the specification fixes
them, and by type elsewhere.
"""

# Names only the twin's module holds: helpers whose native counterparts are
# C++ functions, invisible to Python.  Plain Python has nowhere else to keep
# them; each starts with an underscore and is not part of the module's API.
TWIN_ONLY_NAMES = {
    "security": [],
    "tollbook": [],
    "db": ["_math", "_exact", "_type_name", "_PATH_MESSAGE", "_single_quoted",
           "DB._commit_or_roll_back", "DB._where_text", "DB._reads_as_column",
           "DB._scoped_value", "DB._scoped_where"],
    "metrics": [],
    "bot": [],
    "celbridge": ["_exact", "_to_int", "_matches", "_find", "_bar_time",
                  "_own_guid", "CelBridge._place"],
}


# Class attributes the host's compiler records from a class statement's
# source (from 3.13: its first line and the attributes its methods assign).
# A native class has no source, so the surface test leaves them out.
SOURCE_ONLY_CLASS_ATTRIBUTES = ("__firstlineno__", "__static_attributes__")


# Tests of what only native code has, and why the twin cannot run them.
# (Marked ``native_only`` where they stand; listed here so that the set
# stays small and visible.)
NATIVE_ONLY_TESTS = {
    "bot/test_bot_twin_fuzz.py::test_handlers_match_the_twin":
        "the differential fuzz plays the native handlers against the twin's itself: one run",
    "metrics/test_metrics_drawdown.py::test_numeric_columns_are_computed_without_pandas_rolling":
        "the native module computes numeric columns itself; the twin is the pandas steps",
}


# Differences the seeded differential fuzz (tests/fuzz) counts as intended,
# by module; tests/fuzz/intended.py tells them apart from faults.
FUZZ_INTENDED = {
    # None left: the last ones (the twin's own TypeError texts for refused
    # metrics arguments, its re-read of the reply's chat id) were resolved
    # on the twin's side.
}
