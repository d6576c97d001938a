// The client's life: construction, binding to the framework's gateway,
// logon and logoff, the account lookup every account-bound call shares, and
// the connection and data-error events.
#include "celbridge.h"

namespace cel {

py::object construct(vt::Call &c) {
    py::handle self = c[0];
    py::object Event = VT_ATTR(c.global(VT_ID("threading")), "Event");
    VT_SET_ATTR(self, "eventGatewayIsUp", call(Event, {}));
    VT_SET_ATTR(self, "eventGatewayIsDown", call(Event, {}));
    VT_SET_ATTR(self, "eventAccountIsReady", call(Event, {}));
    VT_SET_ATTR(self, "eventOrderPlaced", call(Event, {}));
    VT_SET_ATTR(self, "eventQuoteDone", call(Event, {}));
    VT_SET_ATTR(self, "eventOrderbookDone", call(Event, {}));
    VT_SET_ATTR(self, "eventBarDone", call(Event, {}));
    VT_SET_ATTR(self, "subscribe_bars_data", py::dict());
    VT_SET_ATTR(self, "account_balance", call(c.global(VT_ID("AccountBalance")), {}));
    VT_SET_ATTR(self, "positions", py::list());
    VT_SET_ATTR(self, "order_id", py::none());
    // One placement at a time, and the GUID the running one waits for.
    VT_SET_ATTR(self, "lockOrderPlacement", call(VT_ATTR(c.global(VT_ID("threading")), "Lock"), {}));
    VT_SET_ATTR(self, "placing_order_id", py::none());
    return py::none();
}

py::object Init(vt::Call &c) {
    py::handle self = c[0], gateway = c[1];
    VT_SET_ATTR(self, "celEnvironment", VT_ATTR(gateway, "celEnvironment"));
    VT_SET_ATTR(self, "gateway", gateway);
    return py::none();
}

py::object Logon(vt::Call &c) {
    py::handle self = c[0], user_name = c[1], password = c[2];
    trace(c, VT_ID("Connecting to GW"));
    call(VT_ATTR(api(self), "GWLogon"), {user_name, password});
    trace(c, VT_ID("Waiting for GW connection..."));
    assert_message(c, wait(c, VT_ATTR(self, "eventGatewayIsUp")), VT_ID("GW connection timeout!"));
    return py::none();
}

py::object Logoff(vt::Call &c) {
    py::handle self = c[0];
    trace(c, VT_ID("Logoff from GW"));
    py::object lookup = VT_ATTR(self, "get_account_from_gwaccountid");
    py::object account = call(lookup, {VT_ATTR(self, "GWAccountID")}, {VT_ID("GWAccountID")});
    py::object down = VT_ATTR(self, "eventGatewayIsDown");
    clear(down);
    call(VT_ATTR(api(self), "GWLogoff"), {});
    assert_message(c, wait(c, down), VT_ID("GW disconnection timeout!"));
    trace(c, join({VT_ID("Successfully logoff account "), text_of(VT_ATTR(account, "GWAccountName"))}));
    return py::none();
}

namespace {

// "<head>{}<middle>{}" filled as str.format fills it.
py::object account_line(py::handle head, py::handle account) {
    return join({head, text_of(VT_ATTR(account, "GWAccountID")), VT_ID(" name: "),
                 text_of(VT_ATTR(account, "GWAccountName"))});
}

}  // namespace

py::object get_account_from_gwaccountid(vt::Call &c) {
    py::handle self = c[0], id = c[1];
    Com com(c);
    py::object accounts = com.dispatch(VT_ATTR(api(self), "Accounts"));
    py::object iterator = vt::check(PyObject_GetIter(accounts.ptr()));
    while (PyObject *next = PyIter_Next(iterator.ptr())) {
        py::object account = py::reinterpret_steal<py::object>(next);
        trace(c, account_line(VT_ID("GW Account id: "), account));
        if (equal(VT_ATTR(account, "GWAccountID"), id)) {
            trace(c, account_line(VT_ID("[Found] GW Account id: "), account));
            return account;
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
}

py::object OnDataError(vt::Call &c) {
    py::handle error = c[1];
    if (error.is_none()) return py::none();
    py::object wrapped = Com(c).dispatch(error);
    trace(c, join({VT_ID("OnDataError: Code: "), text_of(VT_ATTR(wrapped, "Code")),
                   VT_ID(" Description: "), text_of(VT_ATTR(wrapped, "Description"))}));
    return py::none();
}

// Only up and down move the client; delayed, trouble and not-logged-on
// states leave both events as they are.
py::object OnGWConnectionStatusChanged(vt::Call &c) {
    py::handle self = c[0], status = c[1];
    Com com(c);
    if (equal(status, CEL_MEMBER(com.constants(), "csConnectionUp"))) {
        trace(c, VT_ID("GW connection is UP!"));
        set(VT_ATTR(self, "eventGatewayIsUp"));
    }
    if (equal(status, CEL_MEMBER(com.constants(), "csConnectionDown"))) {
        trace(c, VT_ID("GW connection is DOWN!"));
        set(VT_ATTR(self, "eventGatewayIsDown"));
    }
    return py::none();
}

py::object OnDataConnectionStatusChanged(vt::Call &c) {
    print_text(c, join({VT_ID("DataConnectionStatus="), text_of(c[1])}));
    return py::none();
}

}  // namespace cel
