"""Constants and helpers shared by the chat bot's tests."""
import os

MODULE = "velmor_trader.plugins.telegram.bot"
TOKEN = "123456:local-test-token"
CHAT_ID = 4242
OTHER_CHAT_ID = 777
PROXY_VARS = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")

# Request attributes and their values on a freshly constructed bot.
INITIAL = {
    "velmor_trader_status": "Running",
    "get_balance": False,
    "get_positions": False,
    "get_orders": False,
    "active_orders": False,
    "num_orders_displayed": 1,
    "get_deals": False,
    "num_deals_displayed": 1,
    "cancel_order": False,
    "cancel_order_id": None,
    "gateway_name": None,
    "cancel_orders": False,
    "send_order": False,
    "order_string": "",
    "close_positions": False,
    "close_positions_gateway_name": None,
}


def write_config(directory, base_url, chat_id=CHAT_ID, token=TOKEN):
    """Write a velmor_trader_config module into directory; returns its path."""
    path = directory / "velmor_trader_config.py"
    lines = [f"TELEGRAM_TOKEN = {token!r}", f"TELEGRAM_CHAT_ID = {chat_id!r}"]
    if base_url is not None:
        lines.append(f"TELEGRAM_BASE_URL = {base_url!r}")
    path.write_text("\n".join(lines) + "\n")
    return path


def subprocess_env(config_dir):
    """Environment for a child interpreter that finds the package and config_dir."""
    import velmor_trader

    package_root = os.path.dirname(os.path.dirname(velmor_trader.__file__))
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARS}
    env["PYTHONPATH"] = os.pathsep.join(
        [str(config_dir), package_root] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


class Chat:
    """The operator's side of the conversation with the bot."""

    def __init__(self, server):
        self.server = server

    def send(self, text, replies, chat_id=CHAT_ID, edited=False):
        """Send text and return the texts of the next `replies` messages."""
        before = len(self.server.sent_messages())
        self.server.push_message(text, chat_id=chat_id, edited=edited)
        sent = self.server.wait_for_messages(before + replies)[before:]
        assert all(m["chat_id"] == chat_id for m in sent), sent
        return [m["text"] for m in sent]

    def send_unanswered(self, text, chat_id=CHAT_ID, edited=False):
        """Send text that must get no reply; a following echo proves it was handled.

        Returns what was sent meanwhile: only the echo when nothing answered.
        """
        before = len(self.server.sent_messages())
        self.server.push_message(text, chat_id=chat_id, edited=edited)
        self.server.push_message("barrier", chat_id=CHAT_ID)
        return self.server.wait_for_messages(before + 1)[before:]
