"""Check the bot's connection: ``python -m velmor_trader.plugins.telegram``.

Sends "Yes I am here!" to the configured chat, stops the bot's polling and
prints "Closed.".  The bot is always closed, even when sending fails, so the
polling threads never keep the interpreter alive.
"""
from velmor_trader.plugins.telegram.bot import TELEGRAM_CHAT_ID, bot


def main():
    chat_id = TELEGRAM_CHAT_ID
    try:
        bot.send_message(chat_id=chat_id, msg="Yes I am here!")
    finally:
        bot.close()
    print("Closed.")


if __name__ == "__main__":
    main()
