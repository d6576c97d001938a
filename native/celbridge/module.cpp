// velmor_trader.gateways.cqg.wrapper.celbridge: the module body. Importing
// it only binds names: no COM object, no thread, no output.
#include "celbridge.h"

using namespace cel;

namespace {

const char kConnectionStates[] = R"(Connection states:

    csConnectionDelayed      1  Connection is delayed.
    csConnectionDown         2  Connection is down.
    csConnectionNotLoggedOn  4  Connected but not logged on Gateway.
    csConnectionTrouble      3  Trouble with Gateway connection.
    csConnectionUp           0  Connection is up.
)";

}  // namespace

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
    vt::import_from(g, "velmor_trader.gateways.cqg.wrapper.CELEnvironment", {"CELSinkBase"});
    vt::import_from(g, "velmor_trader.gateways.cqg.wrapper.CELEnvironment", {"Trace"});
    vt::import_from(g, "velmor_trader.gateways.cqg.wrapper.CELEnvironment", {"AssertMessage"});

    g["TIMEOUT"] = py::int_(10);
    g["TIMEZONE"] = g["pytz"].attr("timezone")("Asia/Hong_Kong");
    g["INVALID_VALUE"] = py::int_(-2147483648LL);
    g["lock"] = g["threading"].attr("Lock")();

    auto self_only = vt::signature({vt::arg("self")});
    auto by_symbol = vt::signature({vt::arg("self"), vt::arg("cqg_symbol").typed("str")});
    auto by_account = vt::signature({vt::arg("self"), vt::arg("GWAccountID").typed("int")});

    vt::ClassBuilder cls(g, "CelBridge", py::make_tuple(g["CELSinkBase"]),
                         "CQG Integrated Client API");
    cls.method("__init__", self_only, construct)
        .method("Init", vt::signature({vt::arg("self"), vt::arg("gateway").ann("BaseGateway")}), Init)
        .method("Logon",
                vt::signature({vt::arg("self"), vt::arg("user_name").typed("str"),
                               vt::arg("password").typed("str")}),
                Logon)
        .method("Logoff", self_only, Logoff)
        .method("get_instrument_from_cqg_symbol", by_symbol, get_instrument_from_cqg_symbol)
        .method("get_timedbars_from_cqg_symbol", by_symbol, get_timedbars_from_cqg_symbol)
        .method("get_ticks_from_cqg_symbol", by_symbol, get_ticks_from_cqg_symbol)
        .method("get_account_from_gwaccountid", by_account, get_account_from_gwaccountid)
        .method("subscribe_quote", by_symbol, subscribe_quote)
        .method("unsubscribe_quote", by_symbol, unsubscribe_quote)
        .method("subscribe_orderbook", by_symbol, subscribe_orderbook)
        .method("unsubscribe_orderbook", by_symbol, unsubscribe_orderbook)
        .method("subscribe_bar",
                vt::signature({vt::arg("self"), vt::arg("cqg_symbol").typed("str"),
                               vt::arg("lookback_period").typed("int"),
                               vt::arg("freq").typed("str").def(py::str("1Min"))}),
                subscribe_bar);
    // Decorated as the class body decorates it: the class keeps what
    // safe_call returns.
    cls.attr("unsubscribe_bar",
             g["safe_call"](cls.function("unsubscribe_bar", by_symbol, unsubscribe_bar)));
    cls.method("subscribe_account_and_positions", by_account, subscribe_account_and_positions)
        .method("unsubscribe_account_and_positions", by_account, unsubscribe_account_and_positions)
        .method("update_account_balance", self_only, update_account_balance)
        .method("update_positions", self_only, update_positions)
        .method("get_subscribe_bars_data", vt::signature({vt::arg("self"), vt::arg("security")}),
                get_subscribe_bars_data)
        .method("OnDataError",
                vt::signature({vt::arg("self"), vt::arg("cqgError"), vt::arg("errorDescription")}),
                OnDataError)
        .method("OnInstrumentResolved",
                vt::signature({vt::arg("self"), vt::arg("symbol"), vt::arg("cqgInstrument"),
                               vt::arg("cqgError")}),
                OnInstrumentResolved)
        .method("OnInstrumentChanged",
                vt::signature({vt::arg("self"), vt::arg("cqgInstrument"), vt::arg("cqgQuotes"),
                               vt::arg("cqgInstrumentProperties")}),
                OnInstrumentChanged)
        .method("OnTicksResolved",
                vt::signature({vt::arg("self"), vt::arg("cqgTicks"), vt::arg("cqgError")}),
                OnTicksResolved)
        .method("OnTicksAdded",
                vt::signature({vt::arg("self"), vt::arg("cqgTicks"), vt::arg("addedTicksCount")}),
                OnTicksAdded)
        .method("OnTicksRemoved",
                vt::signature({vt::arg("self"), vt::arg("cqgTicks"), vt::arg("removedTickIndex")}),
                OnTicksRemoved)
        .method("OnTimedBarsResolved",
                vt::signature({vt::arg("self"), vt::arg("cqgTimedBars"), vt::arg("cqgError")}),
                OnTimedBarsResolved)
        .method("OnTimedBarsAdded", vt::signature({vt::arg("self"), vt::arg("cqgTimedBars")}),
                OnTimedBarsAdded)
        .method("OnTimedBarsUpdated",
                vt::signature({vt::arg("self"), vt::arg("cqgTimedBars"), vt::arg("index")}),
                OnTimedBarsUpdated)
        .method("OnTimedBarsRemoved",
                vt::signature({vt::arg("self"), vt::arg("cqgTimedBars"), vt::arg("index")}),
                OnTimedBarsRemoved)
        .method("dumpBar", vt::signature({vt::arg("self"), vt::arg("bar"), vt::arg("index")}),
                dumpBar)
        .method("place_order", vt::signature({vt::arg("self"), vt::arg("order").ann("Order")}, "str"),
                place_order)
        .method("cancel_order", vt::signature({vt::arg("self"), vt::arg("orderid").typed("str")}),
                cancel_order)
        .method("OnAccountChanged",
                vt::signature({vt::arg("self"), vt::arg("change"), vt::arg("cqgAccount"),
                               vt::arg("cqgPosition")}),
                OnAccountChanged)
        .method("OnOrderChanged",
                vt::signature({vt::arg("self"), vt::arg("changeType"), vt::arg("cqgOrder"),
                               vt::arg("oldProperties"), vt::arg("cqgFill"), vt::arg("cqgError")}),
                OnOrderChanged)
        .method("OnGWConnectionStatusChanged",
                vt::signature({vt::arg("self"), vt::arg("connectionStatus")}),
                OnGWConnectionStatusChanged, kConnectionStates)
        .method("OnDataConnectionStatusChanged",
                vt::signature({vt::arg("self"), vt::arg("newStatus")}),
                OnDataConnectionStatusChanged, kConnectionStates);
    g["CelBridge"] = cls.build();

    vt::def(g, "QuoteType2String", vt::signature({vt::arg("quoteType")}), QuoteType2String);
    vt::def(g, "TickType2String", vt::signature({vt::arg("tickType")}), TickType2String);
    vt::def(g, "convert_orderstatus_cqg2vl",
            vt::signature({vt::arg("status").ann("win32com.client.constants")}, "OrderStatus"),
            convert_orderstatus_cqg2vl);
}
