"""Differences between a native module and its twin that are intended, each
with its reason. The fuzz counts a case that shows one apart and does not
report it."""
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from twin_differences import FUZZ_INTENDED  # noqa: E402  (the one list, with the reasons)

ARGUMENT_TYPE = re.compile(r"^Argument '\w+' has incorrect type \(expected \w+, got \w+\)$")


def _only_type_error_texts_differ(native, twin):
    """Equal but for the texts of TypeErrors, one side's in the layer's
    "Argument ... has incorrect type" form."""
    if native == twin:
        return True
    if not isinstance(native, (list, tuple)) or not isinstance(twin, (list, tuple)):
        return False
    if (len(native) == len(twin) == 3 and native[:2] == twin[:2] == ("raise", "TypeError")
            and (ARGUMENT_TYPE.match(native[2]) or ARGUMENT_TYPE.match(twin[2]))):
        return True
    return len(native) == len(twin) and all(
        _only_type_error_texts_differ(a, b) for a, b in zip(native, twin))


def intended(module, case, native, twin):
    """The reason a divergent case is intended, or None."""
    # metrics: the Parts convert `n`, `days` and `window` with "the host's
    # type error" and fix no text; the native layer words every refused
    # argument alike, the twin lets float()/int() word theirs. Compared by
    # type only.
    if module == "metrics" and _only_type_error_texts_differ(native, twin):
        return FUZZ_INTENDED["metrics"]
    return None
