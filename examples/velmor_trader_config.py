"""Example configuration module of velmor_trader.

The framework reads its settings by importing a module named
``velmor_trader_config``.  Copy this file to a directory on ``sys.path``
(or set ``PYTHONPATH`` to a directory holding your copy), rename nothing,
and fill in your own values.  It is deliberately not installed with the
package, so it never shadows a user's own configuration.
"""

# Directory of the SQLite database file "velmor_trader.db".
DB = {"sqlite3": "."}

# Credentials of the chat bot and the one chat it obeys.
TELEGRAM_TOKEN = "123456:replace-with-your-bot-token"
TELEGRAM_CHAT_ID = 123456789

# Optional: the Bot API server to talk to (a self-hosted server or the local
# stand-in used by the demos and tests).  Leave undefined for the public one.
# TELEGRAM_BASE_URL = "http://127.0.0.1:8081/bot"
