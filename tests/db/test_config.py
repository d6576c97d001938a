import sys
import types

import pytest

MESSAGE = ("`sqlite3` is activated, and its path must be specified in `DB` variable "
           "in velmor_trader_config.py")


def _install(monkeypatch, **attrs):
    mod = types.ModuleType("velmor_trader_config")
    for k, v in attrs.items():
        setattr(mod, k, v)
    monkeypatch.setitem(sys.modules, "velmor_trader_config", mod)


def test_configured_directory(dbmod, config, tmp_path):
    assert dbmod._db_path() == str(tmp_path)
    d = dbmod.DB()
    d.close()
    assert (tmp_path / "velmor_trader.db").is_file()


@pytest.mark.parametrize("attrs, cause", [
    (None, ImportError),                          # no configuration module at all
    ({}, ImportError),                            # module without DB
    ({"DB": {"mysql": "x"}}, KeyError),           # no "sqlite3" item
    ({"DB": {"sqlite3": 5}}, TypeError),          # not a text
    ({"DB": {"sqlite3": None}}, TypeError),       # None must not become "None/..."
    ({"DB": None}, TypeError),                    # DB not subscriptable
])
def test_unusable_configuration(dbmod, monkeypatch, tmp_path, attrs, cause):
    if attrs is None:
        monkeypatch.setitem(sys.modules, "velmor_trader_config", None)
    else:
        _install(monkeypatch, **attrs)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as ei:
        dbmod._db_path()
    assert str(ei.value) == MESSAGE
    assert isinstance(ei.value.__cause__, cause)
    with pytest.raises(ValueError, match="^`sqlite3` is activated"):
        dbmod.DB()
    assert list(tmp_path.iterdir()) == []     # no file, no "None" directory


def test_wrong_type_names_both_types(dbmod, monkeypatch):
    _install(monkeypatch, DB={"sqlite3": 5})
    with pytest.raises(ValueError) as ei:
        dbmod._db_path()
    text = str(ei.value.__cause__)
    assert "str" in text and "int" in text


def test_configuration_read_at_each_construction(dbmod, monkeypatch, tmp_path):
    for sub in ("one", "two"):
        (tmp_path / sub).mkdir()
        _install(monkeypatch, DB={"sqlite3": str(tmp_path / sub)})
        dbmod.DB().close()
        assert (tmp_path / sub / "velmor_trader.db").is_file()
