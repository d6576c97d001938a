"""The operator on the other side of the chat, following a script.

At the simulated minutes of its script it types its commands into the local
chat service and waits for the engine's answer to each.  It holds simulated
time while it does, as a person would pause the session to steer it: the
market does not move between a command and its answer, so what the commands
do is the same from one run to the next.
"""
import logging
import queue
import threading
import time

log = logging.getLogger("velmor_trader.paper_trading")

ORDER = "00700,100,l,o,l,CQG,330.0,None"   # a limit order well below the market


def script(minutes):
    """(minute, command) pairs spread over a session of ``minutes``."""
    def at(share):
        return max(1, min(minutes - 1, round(minutes * share)))
    return [(at(0.15), "/balance"), (at(0.25), "/positions"), (at(0.35), "/orders -a 5"),
            (at(0.45), "/deals 3"), (at(0.55), "/send_order " + ORDER),
            (at(0.70), "/cancel_orders"), (minutes, "/close_positions"), (minutes, "/stop")]


class ScriptedOperator:
    def __init__(self, server, chat_id, steps, clock, console, timeout=10.0, on_failure=None):
        self.server, self.chat_id, self.steps = server, chat_id, steps
        self.clock, self.console, self.timeout = clock, console, timeout
        self.on_failure = on_failure    # called with the exception that ended a job
        self.sent = []                  # (messages sent by the bot before it, command)
        self.unanswered = []
        self.failed = None
        # /stop's hold is kept through the wind-down: the market the wind-down
        # meets is the one at the stop, however fast the clock runs.
        self._kept_hold = False
        self._jobs = queue.Queue()
        self._thread = threading.Thread(target=self._run, name="chat-operator", daemon=True)
        self._thread.start()

    def at_minute(self, engine):
        """Called by the engine after each minute's decisions."""
        commands = [c for m, c in self.steps if m == engine.minute]
        if commands and self.failed is None:
            self.clock.hold()
            self._jobs.put(commands)

    def close(self):
        self._jobs.put(None)
        self._thread.join(self.timeout)
        if self._kept_hold:
            self._kept_hold = False
            self.clock.release()

    def _run(self):
        # Whatever a job raises, its hold is released and the thread goes on
        # taking jobs: a dead operator would leave simulated time held for ever.
        while True:
            commands = self._jobs.get()
            if commands is None:
                return
            keep = False
            try:
                for command in commands:
                    # Kept only once the engine took the /stop, or nothing would release it.
                    keep = self._send(command) and command.split()[0] == "/stop"
            except Exception as exc:
                keep = False
                self.failed = exc
                log.exception("the operator failed at %r", commands)
                if self.on_failure is not None:
                    self.on_failure(exc)
            finally:
                if keep:
                    self._kept_hold = True
                else:
                    self.clock.release()

    def _send(self, command):
        name = command.split()[0]
        before = len(self.server.sent_messages())
        self.sent.append((before, command))
        self.server.push_message(command, chat_id=self.chat_id)
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            answer = next((m["text"] for m in self.server.sent_messages()[before:]
                           if m["text"].startswith(name + ":")), None)
            if answer is not None:
                self.console.chat(command, answer)
                return True
            time.sleep(0.005)
        self.unanswered.append(command)
        self.console.chat(command, None)
        return False

    def transcript(self):
        """The conversation in order: ("operator" | "bot", text)."""
        sent = self.server.sent_messages()
        lines, pushed = [], list(self.sent)
        for index, message in enumerate(sent + [None]):
            while pushed and pushed[0][0] <= index:
                lines.append(("operator", pushed.pop(0)[1]))
            if message is not None:
                lines.append(("bot", message["text"]))
        return lines
