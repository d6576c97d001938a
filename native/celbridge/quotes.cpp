// Instruments and their quotes: subscribing by CQG symbol, finding the API's
// instrument again, and turning quote events into the framework's records.
#include "replace.h"

namespace cel {

namespace {

py::object get_instrument_from_cqg_symbol(py::handle self, py::handle cqg_symbol) {
    return find_by_symbol(VT_ATTR(api(self), "Instruments"), cqg_symbol,
                          [](py::handle instrument) { return VT_ATTR(instrument, "FullName"); });
}

void subscribe_quote(vt::Call &c, py::handle self, py::handle cqg_symbol) {
    py::object done = VT_ATTR(self, "eventQuoteDone");
    clear(done);
    vt::call(VT_ATTR(api(self), "NewInstrument"), {cqg_symbol});
    trace(c, vt::concat({VT_ID("Waiting for eventQuoteDone in subscribe_quote("), cqg_symbol,
                         VT_ID(")...")}));
    wait(c, done);
    trace(c, VT_ID("eventQuoteDone is done."));
}

void unsubscribe_quote(vt::Call &c, py::handle self, py::handle cqg_symbol) {
    py::object instrument = vt::call_method(self, VT_ID("get_instrument_from_cqg_symbol"), cqg_symbol);
    if (!vt::truth(instrument)) return;
    vt::call(VT_ATTR(api(self), "RemoveInstrument"), {instrument});
    clear(VT_ATTR(self, "eventQuoteDone"));
    trace(c, vt::concat({VT_ID("Successfully unsubscribe quote for "), cqg_symbol}));
}

// An error answer releases the waiting subscription like a success, but only
// a resolved instrument is asked for its quotes.
void OnInstrumentResolved(vt::Call &c, py::handle self, py::handle, py::handle cqgInstrument,
                          py::handle cqgError) {
    if (cqgError.is_none()) {
        Com com(c);
        VT_SET_ATTR(com.dispatch(cqgInstrument), "DataSubscriptionLevel",
                    CEL_MEMBER(com.constants(), "dsQuotesAndBBA"));
    }
    set_if_clear(VT_ATTR(self, "eventQuoteDone"));
}

// The text of each quote type, keyed by its member.
NameRow quote_types[] = {
    {"qtAsk", "Best ask"}, {"qtBid", "Best bid"},
    {"qtCohUndAsk", "Coherent underlying price for the best ask"},
    {"qtCohUndBid", "Coherent underlying price for the best bid"}, {"qtDayHigh", "Current day high price"},
    {"qtDayLow", "Current day low price"}, {"qtDayOpen", "Day open price"},
    {"qtImpliedAsk", "Implied best ask"}, {"qtImpliedBid", "Implied best bid"},
    {"qtIndicativeOpen", "Indicative open"}, {"qtMarker", "Marker price"},
    {"qtOutrightAsk", "Outright best ask"}, {"qtOutrightBid", "Outright best bid"},
    {"qtSettlement", "Settlement price"}, {"qtTodayMarker", "Marker price"}, {"qtTrade", "Last trade price"},
    {"qtYesterdaySettlement", "Yesterday's settlement price"}};

py::dict quote_types_of(vt::Call &c) { return member_table(Com(c).constants(), quote_types); }

py::object QuoteType2String(vt::Call &c, py::handle quoteType) {
    return vt::get_item(quote_types_of(c), quoteType);
}

// The Quote field each quote type's text fills, the first row whose text
// equals it; each row replaces its field through its own site.
NameRow quote_fields[kQuoteFields] = {
    {"Last trade price", "last_price"}, {"Best bid", "bid_price"}, {"Best ask", "ask_price"},
    {"Day open price", "open_price"}, {"Current day high price", "high_price"},
    {"Current day low price", "low_price"}, {"Yesterday's settlement price", "prev_close_price"}};
NameRow *row_for(py::handle text) {
    for (NameRow &row : quote_fields)
        if (vt::equal(text, row.first.get())) return &row;
    return nullptr;
}

void OnInstrumentChanged(vt::Call &c, py::handle self, py::handle cqgInstrument, py::handle cqgQuotes,
                         py::handle) {
    Com com(c);
    py::object instrument = com.dispatch(cqgInstrument);
    py::object quotes = com.dispatch(cqgQuotes);
    py::object gateway = VT_ATTR(self, "gateway");
    py::object table;
    vt::for_each(quotes, [&](py::object &quote) {
        if (!vt::truth(VT_ATTR(quote, "IsValid"))) return;
        py::object symbol = last_part(VT_ATTR(instrument, "FullName"));
        py::object security = vt::call_method(gateway, VT_ID("get_vl_security_from_cqg_symbol"), symbol);
        if (security.is_none()) return;
        py::object cache = VT_ATTR(gateway, "cqg_quotes");
        py::object record = vt::get_item(cache, security);
        // Each callee is looked up before its arguments are read, as Python calls it.
        if (record.is_none()) {
            py::object quote_class = c.global(VT_ID("Quote"));
            record = vt::call(quote_class, {security, VT_ATTR(security, "exchange"), now(c)},
                              {VT_ID("security"), VT_ID("exchange"), VT_ID("datetime")});
        }
        // The type is named once per quote. The module's own QuoteType2String
        // names every quote of the event from one table (its members are pure
        // reads), made when the first quote is named; a replacement is called
        // for each.
        py::object to_text = c.global(VT_ID("QuoteType2String"));
        py::object type = VT_ATTR(quote, "Type");
        const bool own = vt::runs(to_text, vt::body<QuoteType2String>);
        if (own && !table) table = quote_types_of(c);
        py::object text = own ? vt::get_item(table, type) : vt::call(to_text, {type});
        if (NameRow *row = row_for(text)) {
            py::object fn = c.global(VT_ID("replace"));
            record = replace(quote_replace(row - quote_fields), fn, {record, VT_ATTR(quote, "price"), now(c)},
                             {row->second.get(), VT_ID("datetime")});
        }
        vt::set_item(cache, security, record);
        if (nonzero(VT_ATTR(record, "last_price")) ||
            (nonzero(VT_ATTR(record, "bid_price")) && nonzero(VT_ATTR(record, "ask_price"))))
            vt::call_method(gateway, VT_ID("process_quote"), record);
    });
}

}  // namespace

void bind_quotes(vt::Members &m) {
    const auto by_symbol = {vt::arg("self"), vt::arg("cqg_symbol").typed("str")};
    m.add<get_instrument_from_cqg_symbol>("get_instrument_from_cqg_symbol", by_symbol);
    m.add<subscribe_quote>("subscribe_quote", by_symbol);
    m.add<unsubscribe_quote>("unsubscribe_quote", by_symbol);
    m.add<OnInstrumentResolved>("OnInstrumentResolved", {vt::arg("self"), vt::arg("symbol"),
                                                         vt::arg("cqgInstrument"), vt::arg("cqgError")});
    m.add<OnInstrumentChanged>("OnInstrumentChanged",
                               {vt::arg("self"), vt::arg("cqgInstrument"), vt::arg("cqgQuotes"),
                                vt::arg("cqgInstrumentProperties")});
    m.add<QuoteType2String>("QuoteType2String", {vt::arg("quoteType")});
}

}  // namespace cel
