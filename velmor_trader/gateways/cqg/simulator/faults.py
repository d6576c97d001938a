"""Fault injection: answers that come late or never, and answers that carry
an error object.

Kinds of answer: "logon", "logoff", "instrument", "ticks", "bars", "order",
"cancel", "accounts". A delay is in simulated seconds. A failing "logon"
leaves the connection not logged on; "accounts" can only be delayed or
dropped (its event has no error argument); the others deliver their
answering event with a ``CQGError``. A muted "order" or "cancel" request
takes effect at the server, but the order events it causes never reach the
client (the answer lost on the way back): only reading the order back shows
what happened.
"""
from .objects import CQGError

KINDS = ("logon", "logoff", "instrument", "ticks", "bars", "order", "cancel",
         "accounts")


class Faults:
    def __init__(self):
        self.clear()

    def clear(self):
        self.delays = {}
        self.dropped = set()
        self.errors = {}
        self.muted = set()

    @staticmethod
    def _kind(kind):
        if kind not in KINDS:
            raise ValueError("unknown kind of answer %r (one of %s)"
                             % (kind, ", ".join(KINDS)))
        return kind

    def delay(self, kind, seconds):
        """Answers of ``kind`` arrive ``seconds`` of simulated time late."""
        self.delays[self._kind(kind)] = float(seconds)

    def drop(self, kind):
        """Answers of ``kind`` never arrive."""
        self.dropped.add(self._kind(kind))

    def mute(self, kind):
        """Requests of ``kind`` ("order" or "cancel") take effect, but the
        order events they cause are lost on the way to the client."""
        if self._kind(kind) not in ("order", "cancel"):
            raise ValueError("only order and cancel answers can be muted")
        self.muted.add(kind)

    def fail(self, kind, code=1, description="Simulated failure"):
        """Answers of ``kind`` carry an error object."""
        if self._kind(kind) == "accounts":
            raise ValueError("account answers carry no error object")
        self.errors[kind] = CQGError(code, description)

    def restore(self, kind):
        """Answers of ``kind`` behave normally again."""
        self._kind(kind)
        self.delays.pop(kind, None)
        self.dropped.discard(kind)
        self.errors.pop(kind, None)
        self.muted.discard(kind)
