import pytest

_vt_testmod = pytest.importorskip(
    "_vt_testmod", reason="build the layer's test module first: tools/dev-build _vt_testmod")


@pytest.fixture
def t():
    return _vt_testmod
