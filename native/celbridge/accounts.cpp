// The trading account: its subscription, balance and positions.
#include "celbridge.h"

namespace cel {

namespace {

[[noreturn]] void unknown_account(py::handle id) {
    vt::fail(PyExc_ValueError,
             vt::concat({VT_ID("GWAccountID "), vt::format_of(id), VT_ID(" can not be found!")}));
}

void subscribe_account_and_positions(vt::Call &c, py::handle self, py::handle GWAccountID) {
    Com com(c);
    VT_SET_ATTR(api(self), "AccountSubscriptionLevel", CEL_MEMBER(com.constants(), "aslNone"));
    // The server needs the lowered level to take effect before the raise
    // below makes it send the accounts again.
    vt::call_method(c.global(VT_ID("time")), VT_ID("sleep"), py::int_(2));
    VT_SET_ATTR(api(self), "AccountSubscriptionLevel",
                CEL_MEMBER(com.constants(), "aslAccountUpdatesAndOrders"));
    trace(c, VT_ID("Waiting for accounts coming..."));
    assert_message(c, wait(c, VT_ATTR(self, "eventAccountIsReady")), VT_ID("Accounts coming timeout!"));
    trace(c, vt::concat({VT_ID("Select account "), vt::format_of(GWAccountID),
                         VT_ID(", subscribe to open positions.")}));
    VT_SET_ATTR(self, "GWAccountID", GWAccountID);
    py::object account = vt::call_method(self, VT_ID("get_account_from_gwaccountid"), GWAccountID);
    if (account.is_none()) unknown_account(GWAccountID);
    VT_SET_ATTR(account, "AutoSubscribeInstruments", py::bool_(true));
    VT_SET_ATTR(account, "PositionSubcriptionLevel", CEL_MEMBER(com.constants(), "pslSnapshotAndUpdates"));
    vt::call_method(self, VT_ID("update_account_balance"));
    vt::call_method(self, VT_ID("update_positions"));
}

void unsubscribe_account_and_positions(vt::Call &c, py::handle self, py::handle GWAccountID) {
    Com com(c);
    VT_SET_ATTR(api(self), "AccountSubscriptionLevel", CEL_MEMBER(com.constants(), "aslNone"));
    py::object account = vt::call_method(self, VT_ID("get_account_from_gwaccountid"), GWAccountID);
    if (account.is_none()) unknown_account(GWAccountID);
    VT_SET_ATTR(account, "AutoSubscribeInstruments", py::bool_(false));
    VT_SET_ATTR(account, "PositionSubcriptionLevel", CEL_MEMBER(com.constants(), "pslNoPositions"));
    trace(c, vt::concat({VT_ID("Unsubscribe account "), vt::format_of(GWAccountID), VT_ID(".")}));
}

// account.Summary.<figure>(row), the summary read anew for each figure.
py::object figure(py::handle account, py::handle name, long row) {
    return vt::call_method(VT_ATTR(account, "Summary"), name, py::int_(row));
}

// A refresh that fails is reported on standard output and never raised: the
// engine calls it from its loop, which must go on. Both refreshes hold the
// module's lock of the moment (`with lock:`).
py::object update_account_balance(vt::Call &c, py::handle self) {
    return vt::with_lock(c.global(VT_ID("lock")), [&] {
        try {
            py::object id = VT_ATTR(self, "GWAccountID");
            py::object account = vt::call_method(self, VT_ID("get_account_from_gwaccountid"), id);
            py::object balance = vt::call(c.global(VT_ID("AccountBalance")));
            VT_SET_ATTR(self, "account_balance", balance);
            py::object cash = figure(account, VT_ID("Balance"), 0);
            py::object collaterals = figure(account, VT_ID("Collaterals"), 1);
            py::object available = vt::check(PyNumber_Subtract(cash.ptr(), collaterals.ptr()));
            py::object net = figure(account, VT_ID("NLV"), 0);
            py::object maintenance = figure(account, VT_ID("MaintenanceMargin"), 1);
            py::object realized = figure(account, VT_ID("ProfitLoss"), 0);
            py::object unrealized = figure(account, VT_ID("UPL"), 0);
            VT_SET_ATTR(balance, "cash", cash);
            VT_SET_ATTR(balance, "cash_by_currency", py::none());
            VT_SET_ATTR(balance, "available_cash", available);
            VT_SET_ATTR(balance, "max_power_short", py::none());
            VT_SET_ATTR(balance, "net_cash_power", net);
            VT_SET_ATTR(balance, "maintenance_margin", maintenance);
            VT_SET_ATTR(balance, "realized_pnl", realized);
            VT_SET_ATTR(balance, "unrealized_pnl", unrealized);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            print_text(c, vt::concat({vt::format_of(now(c)), VT_ID(": "), vt::format_of(e.value())}));
        }
        return py::none();
    });
}

py::object update_positions(vt::Call &c, py::handle self) {
    return vt::with_lock(c.global(VT_ID("lock")), [&] {
        py::list positions;
        VT_SET_ATTR(self, "positions", positions);
        py::object account = selected_account(self);
        const Py_ssize_t count = vt::index(VT_ATTR(VT_ATTR(account, "Positions"), "Count"));
        py::object gateway = VT_ATTR(self, "gateway");
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::object position =
                vt::call_method(VT_ATTR(account, "Positions"), VT_ID("ItemByIndex"), py::int_(i));
            py::object quantity = VT_ATTR(position, "Quantity");
            if (!vt::truth(quantity)) continue;
            py::object symbol = last_part(VT_ATTR(position, "InstrumentName"));
            py::object security = vt::call_method(gateway, VT_ID("get_vl_security_from_cqg_symbol"), symbol);
            if (security.is_none()) continue;
            py::object side = VT_ATTR(position, "Side");
            Constants k = Com(c).constants();
            py::object direction;
            if (vt::equal(side, CEL_MEMBER(k, "osdBuy")))
                direction = VT_ATTR(c.global(VT_ID("Direction")), "LONG");
            else if (vt::equal(side, CEL_MEMBER(k, "osdSell")))
                direction = VT_ATTR(c.global(VT_ID("Direction")), "SHORT");
            else
                vt::fail(PyExc_ValueError, vt::concat({VT_ID("Return CQG Position Side "),
                                                       vt::format_of(side), VT_ID(" is invalid!")}));
            py::object position_data = c.global(VT_ID("PositionData"));
            py::object record = vt::call(
                position_data,
                {security, direction, VT_ATTR(position, "AveragePrice"),
                 vt::check(PyNumber_Absolute(quantity.ptr())), now(c)},
                {VT_ID("security"), VT_ID("direction"), VT_ID("holding_price"), VT_ID("quantity"),
                 VT_ID("update_time")});
            positions.append(record);
        }
        return py::none();
    });
}

void trace_position(vt::Call &c, py::handle head, py::handle account_in, py::handle position_in) {
    Com com(c);
    py::object account = com.dispatch(account_in);
    py::object position = com.dispatch(position_in);
    trace(c, vt::concat({head, vt::format_of(VT_ATTR(account, "GWAccountName")),
                         VT_ID(" account - instrument: "),
                         vt::format_of(VT_ATTR(position, "InstrumentName")),
                         VT_ID(" average price: "), vt::format_of(VT_ATTR(position, "AveragePrice")),
                         VT_ID(" quantity: "), vt::format_of(VT_ATTR(position, "Quantity")),
                         VT_ID(" OTE: "), vt::format_of(VT_ATTR(position, "OTE")),
                         VT_ID(" PL: "), vt::format_of(VT_ATTR(position, "ProfitLoss"))}));
}

// Position events are only logged; the views change when the refreshes run.
void OnAccountChanged(vt::Call &c, py::handle self, py::handle change, py::handle cqgAccount,
                      py::handle cqgPosition) {
    Constants k = Com(c).constants();
    if (vt::equal(change, CEL_MEMBER(k, "actPositionAdded"))) {
        trace_position(c, VT_ID("OnAccountChanged - open position is added for "), cqgAccount, cqgPosition);
    } else if (vt::equal(change, CEL_MEMBER(k, "actPositionChanged"))) {
        trace_position(c, VT_ID("OnAccountChanged - open position is changed for "), cqgAccount,
                       cqgPosition);
    } else if (vt::equal(change, CEL_MEMBER(k, "actAccountsReloaded"))) {
        trace(c, VT_ID("OnAccountChanged - Accounts are ready!"));
        set(VT_ATTR(self, "eventAccountIsReady"));
    }
}

}  // namespace

void bind_accounts(vt::Members &m) {
    const auto by_account = {vt::arg("self"), vt::arg("GWAccountID").typed("int")};
    m.add<subscribe_account_and_positions>("subscribe_account_and_positions", by_account);
    m.add<unsubscribe_account_and_positions>("unsubscribe_account_and_positions", by_account);
    m.add<update_account_balance>("update_account_balance", {vt::arg("self")});
    m.add<update_positions>("update_positions", {vt::arg("self")});
    m.add<OnAccountChanged>("OnAccountChanged", {vt::arg("self"), vt::arg("change"),
                                                 vt::arg("cqgAccount"), vt::arg("cqgPosition")});
}

}  // namespace cel
