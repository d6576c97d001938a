"""The session's parts that decide on their own: the order string of
/send_order and the cross signal (the report's figures: test_report.py)."""
import pytest

from velmor_trader.core.constants import OrderType
from velmor_trader.paper_trading import defaults
from velmor_trader.paper_trading.desk import parse_order_string
from velmor_trader.paper_trading.strategy import cross

TENCENT, ES = defaults.INSTRUMENTS[2].security, defaults.INSTRUMENTS[0].security


@pytest.mark.parametrize("text, expected", [
    ("00700,100,l,o,l,CQG,330.0,None",
     dict(security=TENCENT, signed_quantity=100, order_type=OrderType.LIMIT, price=330.0,
          stop=None, offset="OPEN")),
    ("EPZ4, 2, s, c, m, cqg, None, None",
     dict(security=ES, signed_quantity=-2, order_type=OrderType.MARKET, price=None, stop=None,
          offset="CLOSE")),
    ("EPZ4,1,S,O,S,CQG,,5900.25",
     dict(security=ES, signed_quantity=-1, order_type=OrderType.STOP, price=5900.25,
          stop=5900.25, offset="OPEN")),
])
def test_order_strings_the_engine_accepts(text, expected):
    assert parse_order_string(text, defaults.INSTRUMENTS) == expected


@pytest.mark.parametrize("text, reason", [
    ("00700,100,l,o,l,CQG,330.0", "eight fields"),
    ("00005,100,l,o,l,CQG,60.0,None", "not traded"),
    ("00700,100,l,o,l,FUTU,330.0,None", "gateway FUTU is not this engine's"),
    ("00700,ten,l,o,l,CQG,330.0,None", "ASCII digits"),
    ("00700,1_08,l,o,l,CQG,330.0,None", "ASCII digits"),
    ("00700,\u0661\u0660\u0666,l,o,l,CQG,330.0,None", "ASCII digits"),   # Arabic-Indic 106
    ("00700,+100,l,o,l,CQG,330.0,None", "ASCII digits"),
    ("00700,0,l,o,l,CQG,330.0,None", "from 1 to 1,000,000"),
    ("00700,1" + "0" * 23 + ",l,o,l,CQG,330.0,None", "from 1 to 1,000,000"),
    ("00700,100,b,o,l,CQG,330.0,None", "direction l/s"),
    ("00700,100,l,o,l,CQG,None,None", "LIMIT order needs"),
    ("00700,100,l,o,l,CQG,-330,None", "finite and above 0"),
    ("00700,100,l,o,l,CQG,1e309,None", "plain decimal"),
    ("00700,106,l,o,m,CQG,nan,None", "plain decimal"),
    ("00700,106,l,o,m,CQG,330,None", "MARKET order takes no price"),
    ("EPZ4,1,s,o,s,CQG,5900,None", "STOP order needs"),
    ("EPZ4,1,s,o,s,CQG,None,0", "finite and above 0"),
])
def test_order_strings_the_engine_refuses(text, reason):
    with pytest.raises(ValueError, match=reason):
        parse_order_string(text, defaults.INSTRUMENTS)


@pytest.mark.parametrize("closes, expected", [
    ([10.0] * 5 + [9.0, 12.0], 1),           # fast average moves above the slow one
    ([10.0] * 5 + [11.0, 8.0], -1),
    ([10.0] * 5 + [11.0, 12.0], 0),          # already above: no new cross
    ([10.0] * 6, 0),                         # too short for the slow average plus one
])
def test_cross(closes, expected):
    assert cross(closes, 2, 5) == expected

