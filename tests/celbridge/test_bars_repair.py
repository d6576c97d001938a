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


@pytest.fixture(params=["native", "plain"])
def CelBridge(request, modules):
    return modules[request.param].CelBridge


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
