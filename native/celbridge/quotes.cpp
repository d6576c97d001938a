// Instruments and their quotes: subscribing by CQG symbol, finding the API's
// instrument again, and turning quote events into the framework's records.
#include "celbridge.h"

namespace cel {

py::object get_instrument_from_cqg_symbol(vt::Call &c) {
    return find_by_symbol(VT_ATTR(api(c[0]), "Instruments"), c[1],
                          [](py::handle instrument) { return VT_ATTR(instrument, "FullName"); });
}

py::object subscribe_quote(vt::Call &c) {
    py::handle self = c[0], symbol = c[1];
    py::object done = VT_ATTR(self, "eventQuoteDone");
    clear(done);
    call(VT_ATTR(api(self), "NewInstrument"), {symbol});
    trace(c, join({VT_ID("Waiting for eventQuoteDone in subscribe_quote("), symbol, VT_ID(")...")}));
    wait(c, done);
    trace(c, VT_ID("eventQuoteDone is done."));
    return py::none();
}

py::object unsubscribe_quote(vt::Call &c) {
    py::handle self = c[0], symbol = c[1];
    py::object instrument =
        vt::check(PyObject_CallMethodOneArg(self.ptr(), VT_ID("get_instrument_from_cqg_symbol").ptr(),
                                            symbol.ptr()));
    if (!truth(instrument)) return py::none();
    call(VT_ATTR(api(self), "RemoveInstrument"), {instrument});
    clear(VT_ATTR(self, "eventQuoteDone"));
    trace(c, join({VT_ID("Successfully unsubscribe quote for "), symbol}));
    return py::none();
}

// An error answer releases the waiting subscription like a success, but only
// a resolved instrument is asked for its quotes.
py::object OnInstrumentResolved(vt::Call &c) {
    py::handle self = c[0], instrument = c[2], error = c[3];
    if (error.is_none()) {
        Com com(c);
        VT_SET_ATTR(com.dispatch(instrument), "DataSubscriptionLevel",
                    CEL_MEMBER(com.constants(), "dsQuotesAndBBA"));
    }
    set_if_clear(VT_ATTR(self, "eventQuoteDone"));
    return py::none();
}

namespace {

// The Quote field a quote type's text fills, or null for the types that
// fill none.
py::handle field_for(py::handle text) {
    if (equal(text, VT_ID("Last trade price"))) return VT_ID("last_price");
    if (equal(text, VT_ID("Best bid"))) return VT_ID("bid_price");
    if (equal(text, VT_ID("Best ask"))) return VT_ID("ask_price");
    if (equal(text, VT_ID("Day open price"))) return VT_ID("open_price");
    if (equal(text, VT_ID("Current day high price"))) return VT_ID("high_price");
    if (equal(text, VT_ID("Current day low price"))) return VT_ID("low_price");
    if (equal(text, VT_ID("Yesterday's settlement price"))) return VT_ID("prev_close_price");
    return py::handle();
}

}  // namespace

py::object OnInstrumentChanged(vt::Call &c) {
    py::handle self = c[0];
    Com com(c);
    py::object instrument = com.dispatch(c[1]);
    py::object quotes = com.dispatch(c[2]);
    py::object gateway = VT_ATTR(self, "gateway");
    py::object iterator = vt::check(PyObject_GetIter(quotes.ptr()));
    while (PyObject *next = PyIter_Next(iterator.ptr())) {
        py::object quote = py::reinterpret_steal<py::object>(next);
        if (!truth(VT_ATTR(quote, "IsValid"))) continue;
        py::object symbol = last_part(VT_ATTR(instrument, "FullName"));
        py::object security = vt::check(PyObject_CallMethodOneArg(
            gateway.ptr(), VT_ID("get_vl_security_from_cqg_symbol").ptr(), symbol.ptr()));
        if (security.is_none()) continue;
        py::object cache = VT_ATTR(gateway, "cqg_quotes");
        py::object record = vt::check(PyObject_GetItem(cache.ptr(), security.ptr()));
        if (record.is_none())
            record = call(c.global(VT_ID("Quote")), {security, VT_ATTR(security, "exchange"), now(c)},
                          {VT_ID("security"), VT_ID("exchange"), VT_ID("datetime")});
        // The type is named once per quote: the text decides the field.
        py::object text = call(c.global(VT_ID("QuoteType2String")), {VT_ATTR(quote, "Type")});
        if (py::handle field = field_for(text)) {
            py::object price = VT_ATTR(quote, "price");
            py::object stamp = now(c);
            record = call(c.global(VT_ID("replace")), {record, price, stamp}, {field, VT_ID("datetime")});
        }
        if (PyObject_SetItem(cache.ptr(), security.ptr(), record.ptr()) < 0) throw py::error_already_set();
        if (nonzero(VT_ATTR(record, "last_price")) ||
            (nonzero(VT_ATTR(record, "bid_price")) && nonzero(VT_ATTR(record, "ask_price"))))
            vt::check(PyObject_CallMethodOneArg(gateway.ptr(), VT_ID("process_quote").ptr(), record.ptr()));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
}

py::object QuoteType2String(vt::Call &c) {
    Members k = Com(c).constants();
    py::dict table;
    table[CEL_MEMBER(k, "qtAsk")] = VT_ID("Best ask");
    table[CEL_MEMBER(k, "qtBid")] = VT_ID("Best bid");
    table[CEL_MEMBER(k, "qtCohUndAsk")] = VT_ID("Coherent underlying price for the best ask");
    table[CEL_MEMBER(k, "qtCohUndBid")] = VT_ID("Coherent underlying price for the best bid");
    table[CEL_MEMBER(k, "qtDayHigh")] = VT_ID("Current day high price");
    table[CEL_MEMBER(k, "qtDayLow")] = VT_ID("Current day low price");
    table[CEL_MEMBER(k, "qtDayOpen")] = VT_ID("Day open price");
    table[CEL_MEMBER(k, "qtImpliedAsk")] = VT_ID("Implied best ask");
    table[CEL_MEMBER(k, "qtImpliedBid")] = VT_ID("Implied best bid");
    table[CEL_MEMBER(k, "qtIndicativeOpen")] = VT_ID("Indicative open");
    table[CEL_MEMBER(k, "qtMarker")] = VT_ID("Marker price");
    table[CEL_MEMBER(k, "qtOutrightAsk")] = VT_ID("Outright best ask");
    table[CEL_MEMBER(k, "qtOutrightBid")] = VT_ID("Outright best bid");
    table[CEL_MEMBER(k, "qtSettlement")] = VT_ID("Settlement price");
    table[CEL_MEMBER(k, "qtTodayMarker")] = VT_ID("Marker price");
    table[CEL_MEMBER(k, "qtTrade")] = VT_ID("Last trade price");
    table[CEL_MEMBER(k, "qtYesterdaySettlement")] = VT_ID("Yesterday's settlement price");
    return vt::check(PyObject_GetItem(table.ptr(), c[0].ptr()));
}

}  // namespace cel
