// The top-of-book stream: tick subscriptions and the order book they feed.
#include "celbridge.h"
#include "replace.h"

namespace cel {

namespace {

py::object get_ticks_from_cqg_symbol(py::handle self, py::handle cqg_symbol) {
    return find_by_symbol(VT_ATTR(api(self), "AllTicks"), cqg_symbol,
                          [](py::handle ticks) { return VT_ATTR(VT_ATTR(ticks, "Request"), "Symbol"); });
}

void subscribe_orderbook(vt::Call &c, py::handle self, py::handle cqg_symbol) {
    Com com(c);
    py::object request = com.dispatch(api(self).attr(VT_ID("CreateTicksRequest"))());
    const Constants k = com.constants();
    VT_SET_ATTR(request, "Symbol", cqg_symbol);
    VT_SET_ATTR(request, "Type", CEL_MEMBER(k, "trtCurrentNotify"));
    VT_SET_ATTR(request, "TickFilter", CEL_MEMBER(k, "tfAll"));
    VT_SET_ATTR(request, "SessionsFilter", py::int_(31));
    VT_SET_ATTR(request, "Limit", py::int_(10));
    trace(c, vt::concat({VT_ID("Limit: "), vt::format_of(VT_ATTR(request, "Limit"))}));
    py::object done = VT_ATTR(self, "eventOrderbookDone");
    clear(done);
    vt::call_method(api(self), VT_ID("RequestTicks"), request);
    trace(c, vt::concat({VT_ID("Waiting for eventOrderbookDone in subscribe_orderbook("), cqg_symbol,
                         VT_ID(")...")}));
    wait(c, done);
    trace(c, VT_ID("eventOrderbookDone is done."));
}

void unsubscribe_orderbook(vt::Call &c, py::handle self, py::handle cqg_symbol) {
    py::object ticks = vt::call_method(self, VT_ID("get_ticks_from_cqg_symbol"), cqg_symbol);
    if (!vt::truth(ticks)) return;
    vt::call_method(api(self), VT_ID("RemoveTicks"), ticks);
    clear(VT_ATTR(self, "eventOrderbookDone"));
    trace(c, vt::concat({VT_ID("Successfully unsubscribe orderbook for "), cqg_symbol}));
}

// An error answer releases the waiting subscription like a success.
void OnTicksResolved(py::handle self, py::handle, py::handle) {
    set_if_clear(VT_ATTR(self, "eventOrderbookDone"));
}

// The record with one side's level replaced from the tick, stamped now.
py::object with_level(vt::Call &c, py::handle record, py::handle tick, py::handle volume_field,
                      py::handle price_field, ReplaceSite &site) {
    py::object fn = VT_GLOBAL(c, "replace");
    return replace(site, fn, {record, VT_ATTR(tick, "Volume"), VT_ATTR(tick, "Price"), now(c)},
                   {volume_field, price_field, VT_ID("datetime")});
}

// Both sides carry a price and a volume (0 is what has not arrived yet).
// Tested in that order, each read only once the one before passed.
bool both_sides(py::handle record) {
    return nonzero(VT_ATTR(record, "bid_price_1")) && nonzero(VT_ATTR(record, "ask_price_1")) &&
           nonzero(VT_ATTR(record, "bid_volume_1")) && nonzero(VT_ATTR(record, "ask_volume_1"));
}

// The names of the tick price types, keyed by the members' values.
NameRow tick_names[] = {
    {"tptAsk", "Ask price"}, {"tptBid", "Bid price"}, {"tptSettlement", "Settlement price"},
    {"tptTrade", "Trade price"}};

py::dict tick_types(vt::Call &c) { return member_table(Com(c).constants(), tick_names); }

py::object TickType2String(vt::Call &c, py::handle tickType) {
    return vt::get_item(tick_types(c), tickType);
}

// The added ticks are the last `addedTicksCount` of the collection. Its
// request's symbol and the gateway are the same for every tick of the
// event, so they are read once; the tick's type is named once per tick.
void OnTicksAdded(vt::Call &c, py::handle self, py::handle cqgTicks, py::handle addedTicksCount) {
    Com com(c);
    py::object ticks = com.dispatch(cqgTicks);
    py::object count = VT_ATTR(ticks, "Count");
    // `range(start, stop)` takes its bounds through __index__.
    const Py_ssize_t start = vt::index(vt::check(PyNumber_Subtract(count.ptr(), addedTicksCount.ptr())));
    const Py_ssize_t stop = vt::index(count);
    if (start >= stop) return;
    py::object gateway = VT_ATTR(self, "gateway");
    py::object symbol = VT_ATTR(VT_ATTR(ticks, "Request"), "Symbol");
    // TickType2String of the moment names the ticks. The module's own names
    // every tick of the event from one table (its members are pure reads),
    // made when the first tick is named; a replacement is called for each.
    py::object name_of = VT_GLOBAL(c, "TickType2String");
    const bool own = vt::runs(name_of, vt::body<TickType2String>);
    py::object table;
    for (Py_ssize_t i = start; i < stop; ++i) {
        py::object tick = vt::call_method(ticks, VT_ID("Item"), py::int_(i));
        py::object security = vt::call_method(gateway, VT_ID("get_vl_security_from_cqg_symbol"), symbol);
        py::object books = VT_ATTR(gateway, "cqg_orderbooks");
        py::object record = vt::get_item(books, security);
        if (record.is_none()) {
            py::object order_book = c.global(VT_ID("OrderBook"));
            record = vt::call(order_book,
                              {security, VT_ATTR(security, "exchange"), now(c)},
                              {VT_ID("security"), VT_ID("exchange"), VT_ID("datetime")});
        }
        py::object type = VT_ATTR(tick, "PriceType");
        if (own && !table) table = tick_types(c);
        py::object text = own ? vt::get_item(table, type) : vt::call(name_of, {type});
        if (vt::equal(text, VT_ID("Ask price")))
            record = with_level(c, record, tick, VT_ID("ask_volume_1"), VT_ID("ask_price_1"), ask_replace);
        else if (vt::equal(text, VT_ID("Bid price")))
            record = with_level(c, record, tick, VT_ID("bid_volume_1"), VT_ID("bid_price_1"), bid_replace);
        vt::set_item(books, security, record);
        if (both_sides(record)) vt::call_method(gateway, VT_ID("process_orderbook"), record);
    }
}

}  // namespace

void bind_orderbook(vt::Members &m) {
    const auto by_symbol = {vt::arg("self"), vt::arg("cqg_symbol").typed("str")};
    m.add<get_ticks_from_cqg_symbol>("get_ticks_from_cqg_symbol", by_symbol);
    m.add<subscribe_orderbook>("subscribe_orderbook", by_symbol);
    m.add<unsubscribe_orderbook>("unsubscribe_orderbook", by_symbol);
    m.add<OnTicksResolved>("OnTicksResolved", {vt::arg("self"), vt::arg("cqgTicks"), vt::arg("cqgError")});
    m.add<OnTicksAdded>("OnTicksAdded",
                        {vt::arg("self"), vt::arg("cqgTicks"), vt::arg("addedTicksCount")});
    m.add<ignored>("OnTicksRemoved", {vt::arg("self"), vt::arg("cqgTicks"), vt::arg("removedTickIndex")});
    m.add<TickType2String>("TickType2String", {vt::arg("tickType")});
}

}  // namespace cel
