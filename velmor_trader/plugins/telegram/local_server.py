"""A local stand-in for the chat service, for tests and demos.

``LocalChatServer`` is a small HTTP server on the loopback interface that
answers the few Bot API methods the bot module uses through its client
library: ``getMe``, ``deleteWebhook``, ``getUpdates`` (with long polling) and
``sendMessage``.  It is no chat service: it keeps everything in memory, knows
no users, and accepts any chat id; like the real service it refuses a message
longer than 4,096 UTF-16 code units ("Bad Request: message is too long").

A test (or a demo) starts it, points the bot at it through the configuration
name ``TELEGRAM_BASE_URL`` (``server.base_url``), queues what the operator
"types" with ``push_message`` and reads what the bot sent with
``sent_messages`` or ``wait_for_messages``::

    server = LocalChatServer(token="123456:TEST").start()
    ...                                    # TELEGRAM_BASE_URL = server.base_url
    server.push_message("/balance", chat_id=42)
    replies = server.wait_for_messages(1)
    server.stop()

Long polls are held for at most ``max_poll_hold`` seconds (whatever timeout
the client asks for), so that a polling client stops promptly.
"""

import json
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

__all__ = ["LocalChatServer"]

# A command at the start of a message: "/word" or "/word@botname".
_COMMAND_RE = re.compile(r"/[A-Za-z0-9_]+(?:@[A-Za-z0-9_]+)?")


# The longest message text the chat service takes, in UTF-16 code units.
MAX_MESSAGE_LENGTH = 4096


def _utf16_len(text):
    return len(text.encode("utf-16-le")) // 2


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LocalChatServer/1"

    def log_message(self, format, *args):  # noqa: A002 - keep the server quiet
        pass

    def do_GET(self):
        self._dispatch()

    def do_POST(self):
        self._dispatch()

    def _dispatch(self):
        chat = self.server.chat
        path = self.path.split("?", 1)[0]
        parts = [p for p in path.split("/") if p]
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if len(parts) != 2 or not parts[0].startswith("bot"):
            self._reply(404, {"ok": False, "error_code": 404, "description": "Not Found"})
            return
        token, method = parts[0][3:], parts[1]
        if chat.token is not None and token != chat.token:
            self._reply(401, {"ok": False, "error_code": 401, "description": "Unauthorized"})
            return
        try:
            params = json.loads(body.decode("utf-8")) if body else {}
            if not isinstance(params, dict):
                raise ValueError("parameters must be an object")
        except ValueError:
            self._reply(400, {"ok": False, "error_code": 400,
                              "description": "Bad Request: can't parse parameters"})
            return
        status, payload = chat.call(method, params)
        self._reply(status, payload)

    def _reply(self, status, payload):
        data = json.dumps(payload).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True


class LocalChatServer:
    """In-memory stand-in for the chat service's Bot API, served on 127.0.0.1.

    ``token``: the only token accepted (None accepts any); its digits before
    the colon are the bot's user id.  ``port``: 0 picks a free port.
    ``max_poll_hold``: the longest a ``getUpdates`` call waits for updates.
    """

    def __init__(self, token=None, host="127.0.0.1", port=0, max_poll_hold=0.5,
                 username="local_test_bot"):
        self.token = token
        self.host = host
        self.port = port
        self.max_poll_hold = float(max_poll_hold)
        self.username = username
        self.calls = []  # (method, params) of every call, oldest first
        self._cond = threading.Condition()
        self._updates = []  # pending updates, oldest first
        self._sent = []  # messages the bot sent, oldest first
        self._next_update_id = 1
        self._next_message_id = 1
        self._httpd = None
        self._thread = None
        self._closed = False

    # -- life cycle -------------------------------------------------------

    def start(self):
        """Bind and serve on a background thread; returns self."""
        if self._httpd is not None:
            return self
        self._closed = False
        self._httpd = _Server((self.host, self.port), _Handler)
        self._httpd.chat = self
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        kwargs={"poll_interval": 0.1},
                                        name="local-chat-server", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stop serving; long polls in progress return at once."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join()
            self._httpd = None
            self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def base_url(self):
        """The client's ``base_url``: the token is appended to it."""
        return f"http://{self.host}:{self.port}/bot"

    @property
    def bot_id(self):
        head = (self.token or "").partition(":")[0]
        return int(head) if head.isdigit() else 1

    # -- what the operator types ------------------------------------------

    def push_message(self, text, chat_id, user_id=None, edited=False):
        """Queue a text message sent to the bot in chat ``chat_id``.

        A leading "/command" is marked as a bot command, as the service
        does.  ``edited`` delivers it as an edited message instead.
        Returns the update id.
        """
        user_id = chat_id if user_id is None else user_id
        message = {
            "message_id": self._take_message_id(),
            "date": int(time.time()),
            "chat": self._chat(chat_id),
            "from": {"id": user_id, "is_bot": False, "first_name": "Operator"},
            "text": text,
        }
        if edited:
            message["edit_date"] = message["date"]
        match = _COMMAND_RE.match(text)
        if match:
            message["entities"] = [{"type": "bot_command", "offset": 0,
                                    "length": _utf16_len(match.group())}]
        return self.push_update({"edited_message" if edited else "message": message})

    def push_update(self, update):
        """Queue a raw update (a dict without ``update_id``); returns its id."""
        with self._cond:
            update = dict(update, update_id=self._next_update_id)
            self._next_update_id += 1
            self._updates.append(update)
            self._cond.notify_all()
        return update["update_id"]

    # -- what the bot sent ------------------------------------------------

    def sent_messages(self):
        """The messages sent so far, as dicts with ``chat_id`` and ``text``."""
        with self._cond:
            return list(self._sent)

    def wait_for_messages(self, count, timeout=5.0):
        """Wait until at least ``count`` messages were sent; return them all.

        Raises TimeoutError when fewer arrived within ``timeout`` seconds.
        """
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self._sent) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(
                        f"{len(self._sent)} of {count} messages sent: {self._sent!r}")
                self._cond.wait(left)
            return list(self._sent)

    def pending_updates(self):
        """Updates not yet confirmed by the client."""
        with self._cond:
            return list(self._updates)

    def wait_until_delivered(self, timeout=5.0):
        """Wait until the client has confirmed every queued update."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while self._updates:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"updates not fetched: {self._updates!r}")
                self._cond.wait(left)

    def clear_sent(self):
        with self._cond:
            self._sent.clear()

    # -- the Bot API ------------------------------------------------------

    def call(self, method, params):
        """Answer one API call; returns (HTTP status, JSON payload)."""
        self.calls.append((method, params))
        handler = getattr(self, "_api_" + method.lower(), None)
        if handler is None:
            return 404, {"ok": False, "error_code": 404, "description": "Not Found"}
        try:
            result = handler(params)
        except (KeyError, TypeError, ValueError) as exc:
            return 400, {"ok": False, "error_code": 400, "description": f"Bad Request: {exc}"}
        return 200, {"ok": True, "result": result}

    def _api_getme(self, params):
        return self._bot_user()

    def _api_deletewebhook(self, params):
        if params.get("drop_pending_updates"):
            with self._cond:
                self._updates.clear()
                self._cond.notify_all()
        return True

    def _api_getupdates(self, params):
        offset = int(params.get("offset") or 0)
        limit = int(params.get("limit") or 100)
        hold = min(float(params.get("timeout") or 0), self.max_poll_hold)
        deadline = time.monotonic() + hold
        with self._cond:
            if offset:
                # Asking from an offset confirms every earlier update.
                self._updates = [u for u in self._updates if u["update_id"] >= offset]
                self._cond.notify_all()
            while not self._updates and not self._closed:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            return [dict(u) for u in self._updates[:max(1, min(limit, 100))]]

    def _api_sendmessage(self, params):
        chat_id = params["chat_id"]
        if isinstance(chat_id, bool) or not isinstance(chat_id, (int, str)):
            raise TypeError("chat_id must be an integer or a string")
        chat_id = int(chat_id)
        text = params["text"]
        if not isinstance(text, str) or not text.strip():
            raise ValueError("message text is empty")
        if _utf16_len(text) > MAX_MESSAGE_LENGTH:
            # As the real service refuses it: the whole message is lost.
            raise ValueError("message is too long")
        message = {
            "message_id": self._take_message_id(),
            "date": int(time.time()),
            "chat": self._chat(chat_id),
            "from": self._bot_user(),
            "text": text,
        }
        with self._cond:
            self._sent.append({"chat_id": chat_id, "text": text})
            self._cond.notify_all()
        return message

    # -- helpers ----------------------------------------------------------

    def _bot_user(self):
        return {"id": self.bot_id, "is_bot": True, "first_name": "Local bot",
                "username": self.username}

    @staticmethod
    def _chat(chat_id):
        if chat_id < 0:
            return {"id": chat_id, "type": "group", "title": f"group {chat_id}"}
        return {"id": chat_id, "type": "private", "first_name": "Operator"}

    def _take_message_id(self):
        with self._cond:
            message_id = self._next_message_id
            self._next_message_id += 1
        return message_id
