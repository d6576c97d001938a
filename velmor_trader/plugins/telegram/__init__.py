import warnings

# On 3.12 and later the chat library runs on the installed urllib3 1.x (its
# vendored copy no longer imports there), and its scheduler imports
# pkg_resources: each says so on import, which tells a user of this package
# nothing they can act on.
warnings.filterwarnings("ignore", message="python-telegram-bot is using upstream urllib3",
                        category=UserWarning)
warnings.filterwarnings("ignore", message="pkg_resources is deprecated as an API",
                        category=UserWarning)
