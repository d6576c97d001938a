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


REPLY_CHAT = (("get", "update", "effective_chat"), ("get", "chat", "id"))


def _without_reply_chat_reads(outcome):
    """The outcome with each read of update.effective_chat.id that comes just
    before a message is sent taken out."""
    if isinstance(outcome, tuple) and outcome and all(isinstance(e, tuple) for e in outcome):
        kept, i = [], 0
        while i < len(outcome):
            if (outcome[i:i + 2] == REPLY_CHAT and i + 2 < len(outcome)
                    and outcome[i + 2][:1] == ("send_message",)):
                i += 2
                continue
            kept.append(outcome[i])
            i += 1
        if len(kept) != len(outcome):
            return tuple(kept)
    if isinstance(outcome, (list, tuple)):
        return type(outcome)(_without_reply_chat_reads(part) for part in outcome)
    return outcome


def intended(module, case, native, twin):
    """The reason a divergent case is intended, or None."""
    # metrics: the Parts convert `n`, `days` and `window` with "the host's
    # type error" and fix no text; the native layer words every refused
    # argument alike, the twin lets float()/int() word theirs. Compared by
    # type only.
    if module == "metrics" and _only_type_error_texts_differ(native, twin):
        return FUZZ_INTENDED["metrics"]
    # bot: a reply goes to update.effective_chat.id, which the twin reads
    # again for each reply as the Part's expression does; native keeps the id
    # it admitted the update with (the same chat), which saves the handlers
    # two attribute reads per reply on their hot path.
    if module == "bot" and _without_reply_chat_reads(twin) == native:
        return FUZZ_INTENDED["bot"]
    return None
