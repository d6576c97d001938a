"""The bot's handlers against its plain twin's, on fake updates (the seeded
differential fuzz; tools/twin-fuzz --module bot runs more)."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "fuzz"))

from bot_target import BotTarget  # noqa: E402
from intended import intended  # noqa: E402
import twinfuzz  # noqa: E402


@pytest.mark.native_only  # the native side against the twin: one run
def test_handlers_match_the_twin(botmod):
    twin = twinfuzz.load_twin("bot")  # imports against the same local service...
    twin.bot.close()                  # ...and stops polling at once: the tests' chat is botmod's
    report = twinfuzz.fuzz(BotTarget(botmod, twin), seconds=10, seed=0, intended=intended)
    assert not report.found, "\n".join(report.lines())
    assert report.cases > 0
