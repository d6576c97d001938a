"""The framework-side gateway handed to the client."""
from velmor_trader.core.security import Futures
from velmor_trader.gateways.cqg.gateway import CqgGateway

EP, CL = Futures("EPZ4", "E-mini"), Futures("CL", "Crude")


def test_symbol_mapping_and_caches():
    gw = CqgGateway([EP, CL], symbols={CL: "CLEF5"})
    assert [gw.get_vl_security_from_cqg_symbol(s) for s in
            ("EPZ4", "F.US.EPZ4", "F.US.CLEF5", "CL", "EPZ", None)] == [EP, EP, CL, None, None, None]
    assert gw.get_cqg_symbol_from_vl_security(CL) == "CLEF5"
    assert gw.cqg_quotes == gw.cqg_orderbooks == {EP: None, CL: None}


def test_records_reach_every_callback_even_past_a_failing_one(caplog):
    gw = CqgGateway([EP])
    seen = []
    gw.on_order(lambda o: 1 / 0)
    gw.on_order(seen.append)
    gw.on_deal(seen.append)
    gw.process_order({"order_id": "G", "status": 1})
    gw.process_order({"order_id": "G", "status": 2})
    gw.process_deal({"deal_id": "F1", "order_id": "G"})
    assert gw.orders == {"G": {"order_id": "G", "status": 2}}
    assert list(gw.deals) == ["F1"] and len(seen) == 3
    assert "order callback failed" in caplog.text
