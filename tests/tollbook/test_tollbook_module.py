import inspect
import math

import pytest

from velmor_trader.core.deal import Deal
from velmor_trader.gateways.base_gateway import BaseFees

CLASSES = ["TollbookSEHK", "TollbookHKFE", "TollbookCrypto"]


def test_module_namespace(tb):
    public = {k for k in vars(tb) if not k.startswith("__")}
    assert public == {"math", "Deal", "BaseFees", *CLASSES}
    assert tb.math is math and tb.Deal is Deal and tb.BaseFees is BaseFees


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(tb, name):
    cls = getattr(tb, name)
    assert cls.__bases__ == (BaseFees,) and isinstance(cls, type)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == tb.__name__
    assert isinstance(cls.__doc__, str) and len(cls.__doc__.split()) > 10
    init = cls.__dict__["__init__"]
    assert init.__name__ == "__init__" and init.__qualname__ == name + ".__init__"
    assert str(inspect.signature(init)) == "(self, *deals: 'Deal')"
    assert init.__annotations__ == {"deals": "Deal"}
    fee = cls()
    assert isinstance(fee, BaseFees) and hasattr(fee, "__dict__")


def test_docstrings_tell_the_schedules_apart(tb):
    assert "SEHK" in tb.TollbookSEHK.__doc__ and "HKFE" in tb.TollbookHKFE.__doc__
    assert len({getattr(tb, n).__doc__ for n in CLASSES}) == 3


def test_crypto_rates(tb):
    c = tb.TollbookCrypto
    assert (c.COMMISSION_RATE, c.PLATFORM_FEE_RATE, c.PLATFORM_FEE_MIN_USD) == (0.0, 0.0008, 1.99)
    assert {"COMMISSION_RATE", "PLATFORM_FEE_RATE", "PLATFORM_FEE_MIN_USD"} <= set(vars(c))
