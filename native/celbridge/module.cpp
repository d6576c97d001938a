// velmor_trader.gateways.cqg.wrapper.celbridge: the module body. Importing
// it only binds names: no COM object, no thread, no output.
#include "celbridge.h"

namespace py = pybind11;

VT_MODULE(celbridge, "velmor_trader.gateways.cqg.wrapper.celbridge", nullptr) {
    vt::import_module(g, "threading");
    vt::import_module(g, "time");
    vt::import_from(g, "datetime", {"datetime"});
    vt::import_from(g, "dataclasses", {"replace"});
    vt::import_from(g, "typing", {"Dict"});
    vt::import_module(g, "pytz");
    vt::import_module(g, "win32com.client");

    vt::import_from(g, "velmor_trader.core.order", {"Order"});
    vt::import_from(g, "velmor_trader.core.constants", {"Direction", "OrderType", "OrderStatus"});
    vt::import_from(g, "velmor_trader.core.position", {"PositionData"});
    vt::import_from(g, "velmor_trader.core.balance", {"AccountBalance"});
    vt::import_from(g, "velmor_trader.core.data", {"Quote", "OrderBook", "Bar"});
    vt::import_from(g, "velmor_trader.core.utility", {"safe_call"});
    vt::import_from(g, "velmor_trader.gateways", {"BaseGateway"});
    vt::import_from(g, "velmor_trader.gateways.cqg.wrapper.CELEnvironment",
                    {"CELSinkBase", "Trace", "AssertMessage"});

    g["TIMEOUT"] = py::int_(10);
    g["TIMEZONE"] = g["pytz"].attr("timezone")("Asia/Hong_Kong");
    g["INVALID_VALUE"] = py::int_(-2147483648LL);
    g["lock"] = g["threading"].attr("Lock")();

    vt::Members members;
    cel::bind_lifecycle(members);
    cel::bind_quotes(members);
    cel::bind_orderbook(members);
    cel::bind_bars(members);
    cel::bind_accounts(members);
    cel::bind_orders(members);

    vt::ClassBuilder cls(g, "CelBridge", py::make_tuple(g["CELSinkBase"]), "CQG Integrated Client API");
    members.define(cls, {"__init__", "Init", "Logon", "Logoff", "get_instrument_from_cqg_symbol",
                        "get_timedbars_from_cqg_symbol", "get_ticks_from_cqg_symbol",
                        "get_account_from_gwaccountid", "subscribe_quote", "unsubscribe_quote",
                        "subscribe_orderbook", "unsubscribe_orderbook", "subscribe_bar"});
    // Decorated as the class body decorates it: the class keeps what
    // safe_call returns.
    cls.attr("unsubscribe_bar", g["safe_call"](members.function(cls, "unsubscribe_bar")));
    members.define(cls, {"subscribe_account_and_positions", "unsubscribe_account_and_positions",
                        "update_account_balance", "update_positions", "get_subscribe_bars_data",
                        "OnDataError", "OnInstrumentResolved", "OnInstrumentChanged", "OnTicksResolved",
                        "OnTicksAdded", "OnTicksRemoved", "OnTimedBarsResolved", "OnTimedBarsAdded",
                        "OnTimedBarsUpdated", "OnTimedBarsRemoved", "dumpBar", "place_order",
                        "cancel_order", "OnAccountChanged", "OnOrderChanged",
                        "OnGWConnectionStatusChanged", "OnDataConnectionStatusChanged"});
    g["CelBridge"] = cls.build();

    members.define(g, {"QuoteType2String", "TickType2String", "convert_orderstatus_cqg2vl"});
    members.check_all_defined();
}
