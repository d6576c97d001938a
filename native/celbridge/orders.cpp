// Orders: placement and its handshake with the order events, cancellation,
// and the tracking of every order change and fill.
#include "celbridge.h"

namespace cel {

namespace {

// The created order's GUID, read before it is sent; None when the order
// has none to give (reading it fails, or it is not a non-empty text).
py::object own_guid(py::handle cqg_order) {
    try {
        py::object guid = VT_ATTR(cqg_order, "GUID");
        if (PyUnicode_Check(guid.ptr()) && PyUnicode_GET_LENGTH(guid.ptr()) > 0) return guid;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return py::none();
}

py::object place(vt::Call &c, py::handle self, py::handle order) {
    // The bound method before its argument, as Python evaluates the call.
    py::object to_symbol = VT_ATTR(VT_ATTR(self, "gateway"), "get_cqg_symbol_from_vl_security");
    py::object symbol = vt::call(to_symbol, {VT_ATTR(order, "security")});
    py::object instrument = vt::call_method(self, VT_ID("get_instrument_from_cqg_symbol"), symbol);
    if (instrument.is_none())
        vt::fail(PyExc_ValueError, vt::concat({VT_ID("cqg_symbol "), vt::format_of(symbol),
                                               VT_ID(" has not been subscribed.")}));

    Com com(c);
    py::object type = VT_ATTR(order, "order_type");
    py::object OrderType = c.global(VT_ID("OrderType"));
    // The prices CreateOrder takes after the side: a limit order's, or a stop
    // order's and its trigger.
    int prices = 0;
    py::object cqg_type;
    if (vt::equal(type, VT_ATTR(OrderType, "LIMIT"))) {
        cqg_type = CEL_MEMBER(com.constants(), "otLimit");
        prices = 1;
    } else if (vt::equal(type, VT_ATTR(OrderType, "MARKET"))) {
        cqg_type = CEL_MEMBER(com.constants(), "otMarket");
    } else if (vt::equal(type, VT_ATTR(OrderType, "STOP"))) {
        cqg_type = CEL_MEMBER(com.constants(), "otStop");
        prices = 2;
    } else {
        vt::fail(PyExc_ValueError, vt::concat({VT_ID("Unsupported order type "), vt::format_of(type)}));
    }
    py::object direction = VT_ATTR(order, "direction");
    py::object Direction = c.global(VT_ID("Direction"));
    py::object side;
    if (vt::equal(direction, VT_ATTR(Direction, "LONG")))
        side = CEL_MEMBER(com.constants(), "osdBuy");
    else if (vt::equal(direction, VT_ATTR(Direction, "SHORT")))
        side = CEL_MEMBER(com.constants(), "osdSell");
    else
        vt::fail(PyExc_ValueError,
                 vt::concat({VT_ID("Unsupported order side "), vt::format_of(direction)}));

    py::object account = selected_account(self);
    py::object create = VT_ATTR(api(self), "CreateOrder");
    py::object quantity = VT_ATTR(order, "quantity");
    py::object price = prices > 0 ? VT_ATTR(order, "price") : py::object();
    py::object stop = prices > 1 ? VT_ATTR(order, "stop_price") : py::object();
    PyObject *argv[] = {cqg_type.ptr(), instrument.ptr(), account.ptr(), quantity.ptr(),
                        side.ptr(),     price.ptr(),      stop.ptr()};
    py::object created = vt::check(PyObject_Vectorcall(create.ptr(), argv, 5 + prices, nullptr));
    py::object cqg_order = com.dispatch(created);
    VT_SET_ATTR(cqg_order, "Manual", py::int_(0));

    // While this placement waits, only the "added" event of its own GUID
    // completes it (OnOrderChanged). The slot is emptied too: a late answer
    // to an earlier, timed-out placement may have filled it meanwhile.
    VT_SET_ATTR(self, "placing_order_id", own_guid(cqg_order));
    VT_SET_ATTR(self, "order_id", py::none());
    // Cleared before Place: the acknowledgement may come before Place returns.
    py::object placed = VT_ATTR(self, "eventOrderPlaced");
    py::object order_id;
    try {
        clear(placed);
        vt::call_method(cqg_order, VT_ID("Place"));
        py::object acknowledged = wait(c, placed);
        assert_message(c, acknowledged,
                       vt::concat({VT_ID("Order placing timeout!\n"), vt::format_of(order), VT_ID(" ")}));
        order_id = VT_ATTR(self, "order_id");
        VT_SET_ATTR(self, "order_id", py::none());
    } catch (...) {
        VT_SET_ATTR(self, "placing_order_id", py::none());
        throw;
    }
    VT_SET_ATTR(self, "placing_order_id", py::none());
    if (order_id.is_none())
        vt::fail(PyExc_ValueError,
                 vt::concat({VT_ID("Order id can not be obtained!\n"), vt::format_of(order)}));
    if (!PyUnicode_CheckExact(order_id.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(order_id.ptr())->tp_name);
        throw py::error_already_set();
    }
    return order_id;
}

// The flag and the order_id slot are the client's only handshake with
// OnOrderChanged, which runs on the API's event thread; one placement at a
// time uses them. A second caller waits on the client's placement lock,
// whose acquire() gives the GIL up meanwhile.
py::object place_order(vt::Call &c, py::handle self, py::handle order) {
    return vt::with_lock(VT_ATTR(self, "lockOrderPlacement"), [&] { return place(c, self, order); });
}

void cancel_order(py::handle self, py::handle orderid) {
    py::object order = vt::call_method(VT_ATTR(api(self), "Orders"), VT_ID("ItemByGuid"), orderid);
    vt::call_method(order, VT_ID("Cancel"));
}

// properties(member): one property of an order's property collection.
py::object property(py::handle properties, py::handle member) { return vt::call(properties, {member}); }

// A dict of the pairs, in their order.
py::dict record(std::initializer_list<std::pair<py::handle, py::handle>> items) {
    py::dict result;
    for (const auto &[key, value] : items)
        if (PyDict_SetItem(result.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
    return result;
}

void OnOrderChanged(vt::Call &c, py::handle self, py::handle changeType, py::handle cqgOrder,
                    py::handle, py::handle cqgFill, py::handle cqgError) {
    if (!cqgError.is_none()) return;
    Com com(c);
    Constants k = com.constants();
    py::object order = com.dispatch(cqgOrder);
    py::object properties = com.dispatch(VT_ATTR(order, "Properties"));
    py::object gw_status = property(properties, CEL_MEMBER(k, "opGWStatus"));
    py::object guid = property(properties, CEL_MEMBER(k, "opGUID"));
    py::object updated_time =
        cqg_time(c, VT_ATTR(property(properties, CEL_MEMBER(k, "opEventServerTimestamp")), "Value"),
                 TimeArgs::Keywords);
    py::object avg_price = VT_ATTR(property(properties, CEL_MEMBER(k, "opAverageFillPrice")), "Value");
    py::object filled = VT_ATTR(property(properties, CEL_MEMBER(k, "opFilledQuantity")), "Value");
    py::object convert = c.global(VT_ID("convert_orderstatus_cqg2vl"));
    py::object status = vt::call(convert, {VT_ATTR(gw_status, "Value")});
    py::object order_id = VT_ATTR(guid, "Value");

    if (vt::equal(changeType, CEL_MEMBER(k, "ctAdded"))) {
        py::object placed = VT_ATTR(self, "eventOrderPlaced");
        auto not_ours = [&] {
            print_text(c, vt::concat({VT_ID("orderid "), vt::format_of(order_id),
                                      VT_ID(" is not placed by algo")}));
        };
        if (is_set(placed)) return not_ours();
        // A placement waiting for its own GUID takes no other order's. From
        // this read to the slot's write no Python code runs, so a placement
        // cannot start in between.
        py::object waiting = VT_ATTR(self, "placing_order_id");
        if (!waiting.is_none() && !vt::equal(waiting, order_id)) return not_ours();
        // The slot is written before the flag: place_order reads it on waking.
        VT_SET_ATTR(self, "order_id", order_id);
        set(placed);
    } else if (vt::equal(changeType, CEL_MEMBER(k, "ctChanged")) ||
               vt::equal(changeType, CEL_MEMBER(k, "ctRemoved"))) {
        vt::call_method(VT_ATTR(self, "gateway"), VT_ID("process_order"),
                        record({{VT_ID("order_id"), order_id},
                                {VT_ID("updated_time"), updated_time},
                                {VT_ID("filled_avg_price"), avg_price},
                                {VT_ID("filled_quantity"), filled},
                                {VT_ID("status"), status}}));
    }

    if (!vt::truth(cqgFill)) return;
    py::object fill = com.dispatch(cqgFill);
    if (!vt::equal(VT_ATTR(fill, "Status"), CEL_MEMBER(k, "fsNormal"))) return;
    py::object fill_time = cqg_time(c, VT_ATTR(fill, "Timestamp"), TimeArgs::Keywords);
    py::object price = VT_ATTR(fill, "Price");
    py::object quantity = VT_ATTR(fill, "Quantity");
    py::object fill_order = VT_ATTR(VT_ATTR(fill, "Order"), "GUID");
    py::object deal_id = VT_ATTR(fill, "Id");
    vt::call_method(VT_ATTR(self, "gateway"), VT_ID("process_deal"),
                    record({{VT_ID("deal_id"), deal_id},
                            {VT_ID("order_id"), fill_order},
                            {VT_ID("updated_time"), fill_time},
                            {VT_ID("filled_avg_price"), price},
                            {VT_ID("filled_quantity"), quantity}}));
}

// The CQG order states in the order they are compared, each with the name of
// the status it stands for.
NameRow order_states[] = {
    {"osActiveAt", "UNKNOWN"}, {"osContingent", "UNKNOWN"}, {"osInCancel", "UNKNOWN"},
    {"osInClient", "UNKNOWN"}, {"osInModify", "UNKNOWN"}, {"osInTransit", "UNKNOWN"},
    {"osNotSent", "UNKNOWN"}, {"osParked", "UNKNOWN"}, {"osInOrderBook", "SUBMITTED"}, {"osFilled", "FILLED"},
    {"osBusted", "FILLED"}, {"osCanceled", "CANCELLED"}, {"osRejectFCM", "FAILED"}, {"osRejectGW", "FAILED"},
    {"osDisconnected", "FAILED"}, {"osExpired", "FAILED"}, {"osInTransitTimeout", "FAILED"}};

// The first row whose CQG status equals `status`, in the table's order; the
// members are read as the comparisons reach them.
py::object convert_orderstatus_cqg2vl(vt::Call &c, py::handle status) {
    Constants k = Com(c).constants();
    py::object S = c.global(VT_ID("OrderStatus"));
    for (NameRow &row : order_states)
        if (vt::equal(status, k.get(row.first.get()))) return vt::get_attr(S, row.second.get());
    vt::fail(PyExc_ValueError, vt::concat({VT_ID("Order status "), vt::format_of(status),
                                           VT_ID(" is not valid to be handled by velmor_trader.")}));
}

}  // namespace

void bind_orders(vt::Members &m) {
    m.add<place_order>("place_order", {vt::arg("self"), vt::arg("order").ann("Order")}, "str");
    m.add<cancel_order>("cancel_order", {vt::arg("self"), vt::arg("orderid").typed("str")});
    m.add<OnOrderChanged>("OnOrderChanged",
                          {vt::arg("self"), vt::arg("changeType"), vt::arg("cqgOrder"),
                           vt::arg("oldProperties"), vt::arg("cqgFill"), vt::arg("cqgError")});
    m.add<convert_orderstatus_cqg2vl>(
        "convert_orderstatus_cqg2vl", {vt::arg("status").ann("win32com.client.constants")}, "OrderStatus");
}

}  // namespace cel
