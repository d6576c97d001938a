"""Differences between a native module and its twin that are intended, each
with its reason. The fuzz counts a case that shows one apart and does not
report it."""


def intended(module, case, native, twin):
    """The reason a divergent case is intended, or None."""
    return None
