// The client's life: construction, binding to the framework's gateway,
// logon and logoff, the account lookup every account-bound call shares, and
// the connection and data-error events.
#include "celbridge.h"

namespace cel {

namespace {

// The client's events, each a threading.Event of its own, in the order made.
Name events[] = {"eventGatewayIsUp", "eventGatewayIsDown", "eventAccountIsReady", "eventOrderPlaced",
                 "eventQuoteDone", "eventOrderbookDone", "eventBarDone"};

void construct(vt::Call &c, py::handle self) {
    py::object Event = VT_ATTR(c.global(VT_ID("threading")), "Event");
    for (Name &event : events) vt::set_attr(self, event.get(), vt::call(Event));
    VT_SET_ATTR(self, "subscribe_bars_data", py::dict());
    VT_SET_ATTR(self, "account_balance", vt::call(c.global(VT_ID("AccountBalance"))));
    VT_SET_ATTR(self, "positions", py::list());
    VT_SET_ATTR(self, "order_id", py::none());
    // One placement at a time, and the GUID the running one waits for.
    VT_SET_ATTR(self, "lockOrderPlacement", vt::call(VT_ATTR(c.global(VT_ID("threading")), "Lock")));
    VT_SET_ATTR(self, "placing_order_id", py::none());
}

void Init(py::handle self, py::handle gateway) {
    VT_SET_ATTR(self, "celEnvironment", VT_ATTR(gateway, "celEnvironment"));
    VT_SET_ATTR(self, "gateway", gateway);
}

void Logon(vt::Call &c, py::handle self, py::handle user_name, py::handle password) {
    trace(c, VT_ID("Connecting to GW"));
    vt::call(VT_ATTR(api(self), "GWLogon"), {user_name, password});
    trace(c, VT_ID("Waiting for GW connection..."));
    assert_message(c, wait(c, VT_ATTR(self, "eventGatewayIsUp")), VT_ID("GW connection timeout!"));
}

void Logoff(vt::Call &c, py::handle self) {
    trace(c, VT_ID("Logoff from GW"));
    py::object account = selected_account(self);
    py::object down = VT_ATTR(self, "eventGatewayIsDown");
    clear(down);
    vt::call(VT_ATTR(api(self), "GWLogoff"));
    assert_message(c, wait(c, down), VT_ID("GW disconnection timeout!"));
    trace(c, vt::concat({VT_ID("Successfully logoff account "),
                         vt::format_of(VT_ATTR(account, "GWAccountName"))}));
}

// "<head>{}<middle>{}" filled as str.format fills it.
py::object account_line(py::handle head, py::handle account) {
    return vt::concat({head, vt::format_of(VT_ATTR(account, "GWAccountID")), VT_ID(" name: "),
                       vt::format_of(VT_ATTR(account, "GWAccountName"))});
}

py::object get_account_from_gwaccountid(vt::Call &c, py::handle self, py::handle GWAccountID) {
    Com com(c);
    py::object found = py::none();
    vt::for_each(com.dispatch(VT_ATTR(api(self), "Accounts")), [&](py::object &account) {
        trace(c, account_line(VT_ID("GW Account id: "), account));
        if (!vt::equal(VT_ATTR(account, "GWAccountID"), GWAccountID)) return true;
        trace(c, account_line(VT_ID("[Found] GW Account id: "), account));
        found = account;
        return false;
    });
    return found;
}

void OnDataError(vt::Call &c, py::handle, py::handle cqgError, py::handle) {
    if (cqgError.is_none()) return;
    py::object error = Com(c).dispatch(cqgError);
    trace(c, vt::concat({VT_ID("OnDataError: Code: "), vt::format_of(VT_ATTR(error, "Code")),
                         VT_ID(" Description: "), vt::format_of(VT_ATTR(error, "Description"))}));
}

// Only up and down move the client; delayed, trouble and not-logged-on
// states leave both events as they are.
void OnGWConnectionStatusChanged(vt::Call &c, py::handle self, py::handle connectionStatus) {
    Com com(c);
    if (vt::equal(connectionStatus, CEL_MEMBER(com.constants(), "csConnectionUp"))) {
        trace(c, VT_ID("GW connection is UP!"));
        set(VT_ATTR(self, "eventGatewayIsUp"));
    }
    if (vt::equal(connectionStatus, CEL_MEMBER(com.constants(), "csConnectionDown"))) {
        trace(c, VT_ID("GW connection is DOWN!"));
        set(VT_ATTR(self, "eventGatewayIsDown"));
    }
}

void OnDataConnectionStatusChanged(vt::Call &c, py::handle, py::handle newStatus) {
    print_text(c, vt::concat({VT_ID("DataConnectionStatus="), vt::format_of(newStatus)}));
}

const char kConnectionStates[] = R"(Connection states:

    csConnectionDelayed      1  Connection is delayed.
    csConnectionDown         2  Connection is down.
    csConnectionNotLoggedOn  4  Connected but not logged on Gateway.
    csConnectionTrouble      3  Trouble with Gateway connection.
    csConnectionUp           0  Connection is up.
)";

}  // namespace

void bind_lifecycle(vt::Members &m) {
    m.add<construct>("__init__", {vt::arg("self")});
    m.add<Init>("Init", {vt::arg("self"), vt::arg("gateway").ann("BaseGateway")});
    m.add<Logon>("Logon", {vt::arg("self"), vt::arg("user_name").typed("str"),
                           vt::arg("password").typed("str")});
    m.add<Logoff>("Logoff", {vt::arg("self")});
    m.add<get_account_from_gwaccountid>("get_account_from_gwaccountid",
                                        {vt::arg("self"), vt::arg("GWAccountID").typed("int")});
    m.add<OnDataError>("OnDataError",
                       {vt::arg("self"), vt::arg("cqgError"), vt::arg("errorDescription")});
    m.add<OnGWConnectionStatusChanged>("OnGWConnectionStatusChanged",
                                       {vt::arg("self"), vt::arg("connectionStatus")}, nullptr,
                                       kConnectionStates);
    m.add<OnDataConnectionStatusChanged>("OnDataConnectionStatusChanged",
                                         {vt::arg("self"), vt::arg("newStatus")}, nullptr,
                                         kConnectionStates);
}

}  // namespace cel
