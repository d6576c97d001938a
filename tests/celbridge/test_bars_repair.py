"""The gap repair of stored bars, against a straightforward restatement of
what it must give: each missing value takes the nearest valid value before
it in the same field, or failing that the nearest one after it."""
import math
import random

import pytest

from velmor_trader.core.data import Bar

from market_support import INVALID, Key

FIELDS = ("open", "high", "low", "close", "volume")


def expected_repair(columns):
    repaired = {}
    for name, values in columns.items():
        valid = [i for i, v in enumerate(values) if v != INVALID]
        out = []
        for i, value in enumerate(values):
            before, after = [j for j in valid if j < i], [j for j in valid if j > i]
            source = i if i in valid else before[-1] if before else after[0] if after else i
            out.append(values[source])
        repaired[name] = out
    return repaired


def random_columns(rng, n):
    columns = {}
    all_missing = rng.choice(FIELDS) if rng.random() < 0.3 else None
    for name in FIELDS:
        gaps = 1.0 if name == all_missing else rng.choice((0.0, 0.05, 0.3, 0.7))
        values = []
        for _ in range(n):
            if rng.random() < gaps:
                # the marker as the API sends it, or as a float after arithmetic
                values.append(rng.choice((INVALID, float(INVALID))))
            else:
                values.append(rng.choice((
                    round(rng.uniform(1, 6000), 2), rng.randint(0, 5000),
                    INVALID + 1, -0.0, math.nan)))
        columns[name] = values
    return columns


def _same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b))


@pytest.fixture
def CelBridge(impl, modules):
    return modules[impl].CelBridge


@pytest.mark.parametrize("seed", range(40))
def test_repair_matches_the_nearest_valid_value_rule(CelBridge, seed):
    rng = random.Random(seed)
    for n in (1, 2, 3, rng.randint(4, 12), rng.randint(50, 300)):
        columns = random_columns(rng, n)
        key = Key("EPZ4")
        records = [Bar(datetime=None, security=key, **{f: columns[f][i] for f in FIELDS})
                   for i in range(n)]
        stored = list(records)
        bridge = CelBridge()
        bridge.subscribe_bars_data[key] = stored
        want = expected_repair(columns)
        unrepairable = [f for f in FIELDS if want[f][-1] == INVALID]
        if unrepairable:
            with pytest.raises(ValueError) as raised:
                bridge.get_subscribe_bars_data(key)
            assert str(raised.value) == "The latest bar is INVALID: " + str(stored[-1]) + "."
        else:
            assert bridge.get_subscribe_bars_data(key) is stored
        # repaired in place, in the stored records, even when it then fails
        assert all(a is b for a, b in zip(stored, records)) and len(stored) == n
        for name in FIELDS:
            got = [getattr(bar, name) for bar in stored]
            assert all(map(_same, got, want[name])), (name, got, want[name])


@pytest.mark.parametrize("stored", [None, []])
def test_nothing_stored_gives_none(CelBridge, stored):
    bridge = CelBridge()
    key = Key("EPZ4")
    if stored is not None:
        bridge.subscribe_bars_data[key] = stored
    assert bridge.get_subscribe_bars_data(key) is None


# What the repair does that a program can see: each value read once, in
# field order, compared with the marker by Python's == and != when it is
# not a plain number, and written back; records whose attributes are
# properties, or that change class while the repair runs.

def once_per_field(bars):
    """The repair, each value read once, as a plain restatement."""
    def fill(bar, neighbour):
        for name in FIELDS:
            value = getattr(bar, name)
            if value == INVALID:
                other = getattr(neighbour, name)
                if other != INVALID:
                    value = other
            setattr(bar, name, value)
    for i in range(1, len(bars)):
        fill(bars[i], bars[i - 1])
    for i in range(len(bars) - 2, -1, -1):
        fill(bars[i], bars[i + 1])
    last = bars[-1]
    if any(getattr(last, name) == INVALID for name in FIELDS):
        raise ValueError("The latest bar is INVALID: " + str(last) + ".")
    return bars


class Num:
    """A number the repair must compare through == and !=; `then` runs at
    its first comparison."""
    def __init__(self, log, value, then=None):
        self.log, self.value, self.then = log, value, then

    def _note(self, op):
        self.log.append((op, self.value))
        then, self.then = self.then, None
        if then:
            then()

    def __eq__(self, other):
        self._note("==")
        return self.value == other

    def __ne__(self, other):
        self._note("!=")
        return self.value != other


def watched(log):
    """A record class whose five values are logged properties over the
    instance dict (so a Bar can be turned into one)."""
    def field(name):
        return property(lambda self: (log.append(("get", name)), self.__dict__[name])[1],
                        lambda self, v: (log.append(("set", name, v)), self.__dict__.__setitem__(name, v)))
    return type("Watched", (), {name: field(name) for name in FIELDS} | {"__str__": lambda self: "W"})


def history(log, changes_class):
    Watched = watched(log)
    rows = [(INVALID, 1.0, Num(log, 2), INVALID, 5), (Num(log, INVALID), INVALID, 2.5, 3, INVALID),
            (4.0, Num(log, INVALID), INVALID, INVALID, 6), (INVALID, 2.0, 3.0, Num(log, 4.0), 7)]
    bars = [Bar(datetime=None, security=Key("EPZ4"), **dict(zip(FIELDS, row))) for row in rows]
    bars[1] = Watched()
    bars[1].__dict__.update(zip(FIELDS, rows[1]))
    if changes_class:
        # a comparison in the middle of bar 2 turns it into a watched record
        bar = bars[2]
        bar.high = Num(log, INVALID, then=lambda: setattr(bar, "__class__", Watched))
    return bars


@pytest.mark.parametrize("changes_class", [False, True])
def test_repair_is_seen_as_a_plain_restatement(modules, changes_class):
    transcripts = []
    for repair in (None, once_per_field):
        log = []
        bars = history(log, changes_class)
        if repair is None:
            bridge = modules["native"].CelBridge()
            bridge.subscribe_bars_data["k"] = bars
            result = bridge.get_subscribe_bars_data("k")
        else:
            result = repair(bars)
        assert result is bars
        transcripts.append((log, [type(b).__name__ for b in bars],
                            [[getattr(b, f) for f in FIELDS] for b in bars]))
    assert transcripts[0] == transcripts[1]
