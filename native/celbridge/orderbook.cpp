// The top-of-book stream: tick subscriptions and the order book they feed.
#include "celbridge.h"
#include "replace.h"

namespace cel {

namespace {

// TickType2String of the moment, for every tick of one event.
class TickNamer {
public:
    explicit TickNamer(vt::Call &c);
    py::object operator()(vt::Call &c, py::handle type);

private:
    py::object fn_;
    bool own_;
    py::object table_;  // made when the first tick is named
};

}  // namespace

py::object get_ticks_from_cqg_symbol(vt::Call &c) {
    return find_by_symbol(VT_ATTR(api(c[0]), "AllTicks"), c[1],
                          [](py::handle ticks) { return VT_ATTR(VT_ATTR(ticks, "Request"), "Symbol"); });
}

py::object subscribe_orderbook(vt::Call &c) {
    py::handle self = c[0], symbol = c[1];
    Com com(c);
    py::object request = com.dispatch(api(self).attr(VT_ID("CreateTicksRequest"))());
    const Members k = com.constants();
    VT_SET_ATTR(request, "Symbol", symbol);
    VT_SET_ATTR(request, "Type", CEL_MEMBER(k, "trtCurrentNotify"));
    VT_SET_ATTR(request, "TickFilter", CEL_MEMBER(k, "tfAll"));
    VT_SET_ATTR(request, "SessionsFilter", py::int_(31));
    VT_SET_ATTR(request, "Limit", py::int_(10));
    trace(c, join({VT_ID("Limit: "), text_of(VT_ATTR(request, "Limit"))}));
    py::object done = VT_ATTR(self, "eventOrderbookDone");
    clear(done);
    call_method(api(self), VT_ID("RequestTicks"), request);
    trace(c, join({VT_ID("Waiting for eventOrderbookDone in subscribe_orderbook("), symbol,
                   VT_ID(")...")}));
    wait(c, done);
    trace(c, VT_ID("eventOrderbookDone is done."));
    return py::none();
}

py::object unsubscribe_orderbook(vt::Call &c) {
    py::handle self = c[0], symbol = c[1];
    py::object ticks = call_method(self, VT_ID("get_ticks_from_cqg_symbol"), symbol);
    if (!truth(ticks)) return py::none();
    call_method(api(self), VT_ID("RemoveTicks"), ticks);
    clear(VT_ATTR(self, "eventOrderbookDone"));
    trace(c, join({VT_ID("Successfully unsubscribe orderbook for "), symbol}));
    return py::none();
}

// An error answer releases the waiting subscription like a success.
py::object OnTicksResolved(vt::Call &c) {
    set_if_clear(VT_ATTR(c[0], "eventOrderbookDone"));
    return py::none();
}

namespace {

// `range(start, stop)` takes its bounds through __index__.
Py_ssize_t index_of(py::handle value) {
    py::object index = vt::check(PyNumber_Index(value.ptr()));
    Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), PyExc_OverflowError);
    if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
    return i;
}

// What replacing each side's fields learned about the records.
ReplaceSite ask_replace, bid_replace;

// The record with one side's level replaced from the tick, stamped now.
py::object with_level(vt::Call &c, py::handle record, py::handle tick, py::handle volume_field,
                      py::handle price_field, ReplaceSite &site) {
    py::object fn = VT_GLOBAL(c, "replace");
    py::object volume = VT_ATTR(tick, "Volume");
    py::object price = VT_ATTR(tick, "Price");
    py::object stamp = now(c);
    return replace(site, fn, record,
                   {{volume_field, volume}, {price_field, price}, {VT_ID("datetime"), stamp}});
}

// Both sides carry a price and a volume (0 is what has not arrived yet).
// Tested in that order, each read only once the one before passed.
bool both_sides(py::handle record) {
    static vt::AttrGroup<4> sides(vt::Access::Read, "bid_price_1", "ask_price_1", "bid_volume_1",
                                  "ask_volume_1");
    auto book = sides.of(record);
    for (std::size_t k = 0; k < 4; ++k)
        if (!nonzero(book.get(k))) return false;
    return true;
}

}  // namespace

// The added ticks are the last `addedTicksCount` of the collection. Its
// request's symbol and the gateway are the same for every tick of the
// event, so they are read once; the tick's type is named once per tick.
py::object OnTicksAdded(vt::Call &c) {
    py::handle self = c[0];
    Com com(c);
    py::object ticks = com.dispatch(c[1]);
    py::object count = VT_ATTR(ticks, "Count");
    const Py_ssize_t start = index_of(vt::check(PyNumber_Subtract(count.ptr(), c[2].ptr())));
    const Py_ssize_t stop = index_of(count);
    if (start >= stop) return py::none();
    py::object gateway = VT_ATTR(self, "gateway");
    py::object symbol = VT_ATTR(VT_ATTR(ticks, "Request"), "Symbol");
    TickNamer name_of(c);
    for (Py_ssize_t i = start; i < stop; ++i) {
        py::object tick = call_method(ticks, VT_ID("Item"), py::int_(i));
        py::object security = call_method(gateway, VT_ID("get_vl_security_from_cqg_symbol"), symbol);
        py::object books = VT_ATTR(gateway, "cqg_orderbooks");
        py::object record = vt::check(PyObject_GetItem(books.ptr(), security.ptr()));
        if (record.is_none()) {
            py::object OrderBook = c.global(VT_ID("OrderBook"));
            record = call(OrderBook, {security, VT_ATTR(security, "exchange"), now(c)},
                          {VT_ID("security"), VT_ID("exchange"), VT_ID("datetime")});
        }
        py::object text = name_of(c, VT_ATTR(tick, "PriceType"));
        if (equal(text, VT_ID("Ask price")))
            record = with_level(c, record, tick, VT_ID("ask_volume_1"), VT_ID("ask_price_1"), ask_replace);
        else if (equal(text, VT_ID("Bid price")))
            record = with_level(c, record, tick, VT_ID("bid_volume_1"), VT_ID("bid_price_1"), bid_replace);
        if (PyObject_SetItem(books.ptr(), security.ptr(), record.ptr()) < 0) throw py::error_already_set();
        if (both_sides(record)) call_method(gateway, VT_ID("process_orderbook"), record);
    }
    return py::none();
}

py::object OnTicksRemoved(vt::Call &) { return py::none(); }

namespace {

// The names of the tick price types, keyed by the members' values.
py::dict tick_types(vt::Call &c) {
    const Members k = Com(c).constants();
    py::dict table;
    table[CEL_MEMBER(k, "tptAsk")] = VT_ID("Ask price");
    table[CEL_MEMBER(k, "tptBid")] = VT_ID("Bid price");
    table[CEL_MEMBER(k, "tptSettlement")] = VT_ID("Settlement price");
    table[CEL_MEMBER(k, "tptTrade")] = VT_ID("Trade price");
    return table;
}

}  // namespace

py::object TickType2String(vt::Call &c) {
    return vt::check(PyObject_GetItem(tick_types(c).ptr(), c[0].ptr()));
}

// The module's own function names every tick of an event from one table
// (its members are pure reads); a replacement is called for each tick.
TickNamer::TickNamer(vt::Call &c)
    : fn_(VT_GLOBAL(c, "TickType2String")), own_(vt::runs(fn_, TickType2String)) {}

py::object TickNamer::operator()(vt::Call &c, py::handle type) {
    if (!own_) return call(fn_, {type});
    if (!table_) table_ = tick_types(c);
    return vt::check(PyObject_GetItem(table_.ptr(), type.ptr()));
}

}  // namespace cel
