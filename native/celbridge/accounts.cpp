// The trading account: its subscription, balance and positions.
#include "celbridge.h"

namespace cel {

namespace {

// self.get_account_from_gwaccountid(id), the identifier by position.
py::object account_by_position(py::handle self, py::handle id) {
    return call_method(self, VT_ID("get_account_from_gwaccountid"), id);
}

// self.get_account_from_gwaccountid(GWAccountID=id)
py::object account_by_keyword(py::handle self, py::handle id) {
    return call(VT_ATTR(self, "get_account_from_gwaccountid"), {id}, {VT_ID("GWAccountID")});
}

[[noreturn]] void unknown_account(py::handle id) {
    fail(PyExc_ValueError, join({VT_ID("GWAccountID "), text_of(id), VT_ID(" can not be found!")}));
}

// Runs `body` holding the module's lock of the moment (`with lock:`).
template <class Body>
py::object with_module_lock(vt::Call &c, Body &&body) {
    return vt::with_lock(c.global(VT_ID("lock")), std::forward<Body>(body));
}

}  // namespace

py::object subscribe_account_and_positions(vt::Call &c) {
    py::handle self = c[0], id = c[1];
    Com com(c);
    VT_SET_ATTR(api(self), "AccountSubscriptionLevel", CEL_MEMBER(com.constants(), "aslNone"));
    // The server needs the lowered level to take effect before the raise
    // below makes it send the accounts again.
    call_method(c.global(VT_ID("time")), VT_ID("sleep"), py::int_(2));
    VT_SET_ATTR(api(self), "AccountSubscriptionLevel",
                CEL_MEMBER(com.constants(), "aslAccountUpdatesAndOrders"));
    trace(c, VT_ID("Waiting for accounts coming..."));
    assert_message(c, wait(c, VT_ATTR(self, "eventAccountIsReady")), VT_ID("Accounts coming timeout!"));
    trace(c, join({VT_ID("Select account "), text_of(id), VT_ID(", subscribe to open positions.")}));
    VT_SET_ATTR(self, "GWAccountID", id);
    py::object account = account_by_position(self, id);
    if (account.is_none()) unknown_account(id);
    VT_SET_ATTR(account, "AutoSubscribeInstruments", py::bool_(true));
    VT_SET_ATTR(account, "PositionSubcriptionLevel", CEL_MEMBER(com.constants(), "pslSnapshotAndUpdates"));
    vt::check(PyObject_CallMethodNoArgs(self.ptr(), VT_ID("update_account_balance").ptr()));
    vt::check(PyObject_CallMethodNoArgs(self.ptr(), VT_ID("update_positions").ptr()));
    return py::none();
}

py::object unsubscribe_account_and_positions(vt::Call &c) {
    py::handle self = c[0], id = c[1];
    Com com(c);
    VT_SET_ATTR(api(self), "AccountSubscriptionLevel", CEL_MEMBER(com.constants(), "aslNone"));
    py::object account = account_by_position(self, id);
    if (account.is_none()) unknown_account(id);
    VT_SET_ATTR(account, "AutoSubscribeInstruments", py::bool_(false));
    VT_SET_ATTR(account, "PositionSubcriptionLevel", CEL_MEMBER(com.constants(), "pslNoPositions"));
    trace(c, join({VT_ID("Unsubscribe account "), text_of(id), VT_ID(".")}));
    return py::none();
}

namespace {

// account.Summary.<figure>(row), the summary read anew for each figure.
py::object figure(py::handle account, py::handle name, long row) {
    return call_method(VT_ATTR(account, "Summary"), name, py::int_(row));
}

}  // namespace

// A refresh that fails is reported on standard output and never raised: the
// engine calls it from its loop, which must go on.
py::object update_account_balance(vt::Call &c) {
    py::handle self = c[0];
    return with_module_lock(c, [&] {
        try {
            py::object account = account_by_position(self, VT_ATTR(self, "GWAccountID"));
            py::object balance = call(c.global(VT_ID("AccountBalance")), {});
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
            print_text(c, join({text_of(now(c)), VT_ID(": "), text_of(e.value())}));
        }
        return py::none();
    });
}

py::object update_positions(vt::Call &c) {
    py::handle self = c[0];
    return with_module_lock(c, [&] {
        py::list positions;
        VT_SET_ATTR(self, "positions", positions);
        py::object account = account_by_keyword(self, VT_ATTR(self, "GWAccountID"));
        const Py_ssize_t count =
            PyNumber_AsSsize_t(vt::check(PyNumber_Index(VT_ATTR(VT_ATTR(account, "Positions"), "Count").ptr())).ptr(),
                               PyExc_OverflowError);
        if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
        py::object gateway = VT_ATTR(self, "gateway");
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::object position =
                call_method(VT_ATTR(account, "Positions"), VT_ID("ItemByIndex"), py::int_(i));
            py::object quantity = VT_ATTR(position, "Quantity");
            if (!truth(quantity)) continue;
            py::object symbol = last_part(VT_ATTR(position, "InstrumentName"));
            py::object security = call_method(gateway, VT_ID("get_vl_security_from_cqg_symbol"), symbol);
            if (security.is_none()) continue;
            py::object side = VT_ATTR(position, "Side");
            Members k = Com(c).constants();
            py::object direction;
            if (equal(side, CEL_MEMBER(k, "osdBuy")))
                direction = VT_ATTR(c.global(VT_ID("Direction")), "LONG");
            else if (equal(side, CEL_MEMBER(k, "osdSell")))
                direction = VT_ATTR(c.global(VT_ID("Direction")), "SHORT");
            else
                fail(PyExc_ValueError,
                     join({VT_ID("Return CQG Position Side "), text_of(side), VT_ID(" is invalid!")}));
            py::object record = call(
                c.global(VT_ID("PositionData")),
                {security, direction, VT_ATTR(position, "AveragePrice"),
                 vt::check(PyNumber_Absolute(quantity.ptr())), now(c)},
                {VT_ID("security"), VT_ID("direction"), VT_ID("holding_price"), VT_ID("quantity"),
                 VT_ID("update_time")});
            positions.append(record);
        }
        return py::none();
    });
}

namespace {

void trace_position(vt::Call &c, py::handle head, py::handle account_in, py::handle position_in) {
    Com com(c);
    py::object account = com.dispatch(account_in);
    py::object position = com.dispatch(position_in);
    trace(c, join({head, text_of(VT_ATTR(account, "GWAccountName")),
                   VT_ID(" account - instrument: "), text_of(VT_ATTR(position, "InstrumentName")),
                   VT_ID(" average price: "), text_of(VT_ATTR(position, "AveragePrice")),
                   VT_ID(" quantity: "), text_of(VT_ATTR(position, "Quantity")),
                   VT_ID(" OTE: "), text_of(VT_ATTR(position, "OTE")),
                   VT_ID(" PL: "), text_of(VT_ATTR(position, "ProfitLoss"))}));
}

}  // namespace

// Position events are only logged; the views change when the refreshes run.
py::object OnAccountChanged(vt::Call &c) {
    py::handle self = c[0], change = c[1];
    Members k = Com(c).constants();
    if (equal(change, CEL_MEMBER(k, "actPositionAdded"))) {
        trace_position(c, VT_ID("OnAccountChanged - open position is added for "), c[2], c[3]);
    } else if (equal(change, CEL_MEMBER(k, "actPositionChanged"))) {
        trace_position(c, VT_ID("OnAccountChanged - open position is changed for "), c[2], c[3]);
    } else if (equal(change, CEL_MEMBER(k, "actAccountsReloaded"))) {
        trace(c, VT_ID("OnAccountChanged - Accounts are ready!"));
        set(VT_ATTR(self, "eventAccountIsReady"));
    }
    return py::none();
}

}  // namespace cel
