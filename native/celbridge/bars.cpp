// The bar history: timed-bar subscriptions, the rolling lists they keep and
// the repair of missing values.
#include "celbridge.h"

#include <iterator>
#include <optional>

namespace cel {

namespace {

py::object symbol_of(py::handle collection) { return VT_ATTR(VT_ATTR(collection, "Request"), "Symbol"); }

py::object security_for(py::handle self, py::handle symbol) {
    return vt::call_method(VT_ATTR(self, "gateway"), VT_ID("get_vl_security_from_cqg_symbol"), symbol);
}

py::object get_timedbars_from_cqg_symbol(py::handle self, py::handle cqg_symbol) {
    return find_by_symbol(VT_ATTR(api(self), "AllTimedBars"), cqg_symbol, symbol_of);
}

void subscribe_bar(vt::Call &c, py::handle self, py::handle cqg_symbol, py::handle lookback_period,
                   py::handle freq) {
    py::tuple allowed = py::make_tuple(VT_ID("1Day"), VT_ID("1Min"));
    int known = PySequence_Contains(allowed.ptr(), freq.ptr());
    if (known < 0) throw py::error_already_set();
    if (!known)
        vt::fail(PyExc_ValueError, vt::concat({VT_ID("Parameter freq="), freq,
                                               VT_ID(" is Not supported. Only "), vt::str_of(allowed),
                                               VT_ID(" are allowed.")}));
    trace(c, vt::concat({VT_ID("Create "), freq, VT_ID(" timed bars request for "), cqg_symbol}));
    Com com(c);
    py::object request = com.dispatch(api(self).attr(VT_ID("CreateTimedBarsRequest"))());
    const Constants k = com.constants();
    VT_SET_ATTR(request, "Symbol", cqg_symbol);
    VT_SET_ATTR(request, "RangeStart", py::int_(0));
    // The range ends one bar before the look-back: the newest bar is the one
    // still forming, which the stored history leaves out.
    py::object negated = vt::check(PyNumber_Negative(lookback_period.ptr()));
    VT_SET_ATTR(request, "RangeEnd", vt::check(PyNumber_Subtract(negated.ptr(), py::int_(1).ptr())));
    if (vt::equal(freq, VT_ID("1Day")))
        VT_SET_ATTR(request, "HistoricalPeriod", CEL_MEMBER(k, "hpDaily"));
    else if (vt::equal(freq, VT_ID("1Min")))
        VT_SET_ATTR(request, "IntradayPeriod", CEL_MEMBER(k, "pfds1Min"));
    VT_SET_ATTR(request, "DailyBarClose", CEL_MEMBER(k, "dbcLastQuoteOrSettlement"));
    VT_SET_ATTR(request, "UpdatesEnabled", py::bool_(true));
    request.attr(VT_ID("IncludeOutput"))(CEL_MEMBER(k, "tbrContractVolume"), true);
    request.attr(VT_ID("IncludeOutput"))(CEL_MEMBER(k, "tbrCommodityVolume"), true);
    VT_SET_ATTR(request, "SessionsFilter", VT_ID("all"));
    py::object done = VT_ATTR(self, "eventBarDone");
    clear(done);
    vt::call_method(api(self), VT_ID("RequestTimedBars"), request);
    trace(c, vt::concat({VT_ID("Waiting for eventBarDone in subscribe_bar("), cqg_symbol, VT_ID(")...")}));
    wait(c, done);
    trace(c, VT_ID("eventBarDone is done."));
}

void unsubscribe_bar(vt::Call &c, py::handle self, py::handle cqg_symbol) {
    py::object bars = vt::call_method(self, VT_ID("get_timedbars_from_cqg_symbol"), cqg_symbol);
    if (!vt::truth(bars)) return;
    vt::call_method(api(self), VT_ID("RemoveTimedBars"), bars);
    // The caller's symbol, not the request's, names the stored history.
    py::object security = security_for(self, cqg_symbol);
    clear(VT_ATTR(self, "eventBarDone"));
    VT_ATTR(self, "subscribe_bars_data").attr(VT_ID("pop"))(security, py::none());
    trace(c, vt::concat({VT_ID("Successfully unsubscribe timedbar for "), cqg_symbol}));
}

// Comparisons with the missing-value marker. Prices and volumes are nearly
// always plain floats and ints, which compare with an int marker exactly as
// Python compares them without going through the generic protocol; anything
// else (or a marker that is not a plain int) takes Python's `==` and `!=`.
class Marker {
public:
    explicit Marker(py::object marker) : marker_(std::move(marker)) {
        if (PyLong_CheckExact(marker_.ptr())) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(marker_.ptr(), &overflow);
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            // Exactly representable as a double, so float comparisons stay exact.
            if (!overflow && v >= -(1LL << 53) && v <= (1LL << 53)) {
                plain_ = true;
                value_ = v;
            }
        }
    }

    // value == marker
    bool is(py::handle value) const {
        PyObject *v = value.ptr();
        if (plain_) {
            if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) == static_cast<double>(value_);
            if (PyLong_CheckExact(v)) return vt::int_equals(v, value_);
        }
        return compare(value, Py_EQ);
    }

    // value != marker
    bool is_not(py::handle value) const {
        PyObject *v = value.ptr();
        if (plain_ && (PyFloat_CheckExact(v) || PyLong_CheckExact(v))) return !is(value);
        return compare(value, Py_NE);
    }

private:
    bool compare(py::handle value, int op) const { return vt::truth(vt::compare(value, marker_, op)); }

    py::object marker_;
    bool plain_ = false;
    long long value_ = 0;
};

// bars[i] and bars[i] = bar, with a list's own indexing when it is one.
py::object bar_at(py::handle bars, Py_ssize_t i) {
    return PyList_CheckExact(bars.ptr()) ? vt::item(bars, i) : vt::get_item(bars, py::int_(i));
}

void store(py::handle bars, Py_ssize_t i, py::handle bar) {
    if (!PyList_CheckExact(bars.ptr())) return vt::set_item(bars, py::int_(i), bar);
    // Putting an exact list's own item back changes nothing.
    if (i < PyList_GET_SIZE(bars.ptr()) && PyList_GET_ITEM(bars.ptr(), i) == bar.ptr()) return;
    if (PySequence_SetItem(bars.ptr(), i, bar.ptr()) < 0) throw py::error_already_set();
}

// The values the repair works on, in the order it goes through them.
using Values = vt::AttrGroup<5>;
constexpr std::size_t kValues = 5;

// Each value of `bar`: a missing one takes the neighbour's when the
// neighbour has one; every value is written back either way, as the repair
// always did. The neighbour's values are looked at only for a missing one.
void fill_from(Values &group, const Marker &missing, py::handle bar, py::handle neighbour) {
    Values::Fields mine = group.of(bar);
    std::optional<Values::Fields> theirs;
    for (std::size_t k = 0; k < kValues; ++k) {
        py::object value = mine.get(k);
        if (missing.is(value)) {
            if (!theirs) theirs = group.of(neighbour);
            py::object other = theirs->get(k);
            if (missing.is_not(other)) value = std::move(other);
        }
        mine.set(k, value);
    }
}

// The newest bar still missing a value after both passes (in order).
bool any_missing(Values &group, const Marker &missing, py::handle bar) {
    Values::Fields fields = group.of(bar);
    for (std::size_t k = 0; k < kValues; ++k)
        if (missing.is(fields.get(k))) return true;
    return false;
}

// Missing values are carried forward from the last valid bar, then what
// stands before a field's first valid value is filled from the bar after
// it. The stored records are repaired in place, so the repair persists.
py::object get_subscribe_bars_data(vt::Call &c, py::handle self, py::handle security) {
    py::object bars = vt::call_method(VT_ATTR(self, "subscribe_bars_data"), VT_ID("get"), security);
    if (bars.is_none()) return py::none();
    Py_ssize_t n = vt::size(bars);
    if (n == 0) return py::none();
    const Marker missing(c.global(VT_ID("INVALID_VALUE")));
    static Values values(vt::Access::ReadWrite, "open", "high", "low", "close", "volume");
    for (Py_ssize_t i = 1; i < n; ++i) {
        py::object bar = bar_at(bars, i), prev = bar_at(bars, i - 1);
        fill_from(values, missing, bar, prev);
        store(bars, i, bar);
    }
    n = vt::size(bars);
    for (Py_ssize_t i = n - 2; i >= 0; --i) {
        py::object bar = bar_at(bars, i), next = bar_at(bars, i + 1);
        fill_from(values, missing, bar, next);
        store(bars, i, bar);
    }
    py::object last = vt::get_item(bars, py::int_(-1));
    if (any_missing(values, missing, last))
        vt::fail(PyExc_ValueError,
                 vt::concat({VT_ID("The latest bar is INVALID: "), vt::format_of(last), VT_ID(".")}));
    return bars;
}

// A Bar of the framework from an API bar: whole-second time, the five values.
py::object make_bar(vt::Call &c, py::handle Bar, py::handle api_bar, py::handle security) {
    return vt::call(Bar,
                    {cqg_time(c, VT_ATTR(api_bar, "Timestamp"), TimeArgs::Positional), security,
                     VT_ATTR(api_bar, "Open"), VT_ATTR(api_bar, "High"), VT_ATTR(api_bar, "Low"),
                     VT_ATTR(api_bar, "Close"), VT_ATTR(api_bar, "ActualVolume")},
                    {VT_ID("datetime"), VT_ID("security"), VT_ID("open"), VT_ID("high"), VT_ID("low"),
                     VT_ID("close"), VT_ID("volume")});
}

// The history is stored once per security, all but the newest API bar
// (still forming); an error, an empty answer or a history already stored
// only releases the waiting subscription.
void OnTimedBarsResolved(vt::Call &c, py::handle self, py::handle cqgTimedBars, py::handle cqgError) {
    if (!cqgError.is_none()) return set_if_clear(VT_ATTR(self, "eventBarDone"));
    Com com(c);
    py::object bars = com.dispatch(cqgTimedBars);
    if (vt::equal(VT_ATTR(bars, "Count"), py::int_(0))) return set_if_clear(VT_ATTR(self, "eventBarDone"));
    py::object security = security_for(self, symbol_of(bars));
    py::object data = VT_ATTR(self, "subscribe_bars_data");
    if (vt::truth(vt::call_method(data, VT_ID("get"), security)))
        return set_if_clear(VT_ATTR(self, "eventBarDone"));
    vt::set_item(data, security, py::list());
    py::object last = vt::check(PyNumber_Subtract(VT_ATTR(bars, "Count").ptr(), py::int_(1).ptr()));
    const Py_ssize_t n = vt::index(last);
    py::object Bar = c.global(VT_ID("Bar"));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object api_bar = vt::call_method(bars, VT_ID("Item"), py::int_(i));
        py::object stored = vt::get_item(data, security);
        vt::call_method(stored, VT_ID("append"), make_bar(c, Bar, api_bar, security));
    }
    set_if_clear(VT_ATTR(self, "eventBarDone"));
}

// The bar before the newest one has just been finished: a later one rolls
// the stored window forward by one. A stored history of no bar (the answer
// held only the forming bar) starts with it instead of failing on the
// missing last bar.
void OnTimedBarsAdded(vt::Call &c, py::handle self, py::handle cqgTimedBars) {
    Com com(c);
    py::object bars = com.dispatch(cqgTimedBars);
    py::object count = VT_ATTR(bars, "Count");
    if (vt::truth(vt::compare(count, py::int_(2), Py_LT))) return;
    py::object security = security_for(self, symbol_of(bars));
    py::object data = VT_ATTR(self, "subscribe_bars_data");
    if (vt::assertions_enabled()) {
        py::object entry = vt::get_item(data, security);
        vt::assert_that(!entry.is_none(), "We should have initiated data in OnTimedBarsResolved first!");
    }
    py::object finished = vt::call_method(bars, VT_ID("Item"),
                                      vt::check(PyNumber_Subtract(count.ptr(), py::int_(2).ptr())));
    py::object bar = make_bar(c, c.global(VT_ID("Bar")), finished, security);
    py::object stored = vt::get_item(data, security);
    const bool empty = !stored.is_none() && vt::size(stored) == 0;
    if (!empty) {
        py::object last = vt::get_item(stored, py::int_(-1));
        py::object latest = VT_ATTR(bar, "datetime");
        if (!vt::truth(vt::compare(latest, VT_ATTR(last, "datetime"), Py_GT))) return;
    }
    print_text(c, vt::concat({VT_ID("[2] OnTimedBarsAdded: "), vt::format_of(bar)}));
    if (!empty) vt::call_method(stored, VT_ID("pop"), py::int_(0));
    vt::call_method(stored, VT_ID("append"), bar);
}

// The bar's fields as dumpBar writes them, each after its own name.
Name bar_fields[] = {"Timestamp", "Open", "High", "Low", "Close", "ActualVolumeFractional",
                     "CommodityVolumeFractional", "ContractVolumeFractional", "TickVolume"};
constexpr std::size_t kBarFields = std::size(bar_fields);

void dumpBar(vt::Call &c, py::handle, py::handle bar, py::handle index) {
    // Every value is read before the first is written, as str.format has them.
    py::object values[kBarFields];
    for (std::size_t i = 0; i < kBarFields; ++i) values[i] = vt::get_attr(bar, bar_fields[i].get());
    py::object text = vt::concat({VT_ID("Bar index: "), vt::format_of(index)});
    for (std::size_t i = 0; i < kBarFields; ++i)
        text = vt::concat({text, VT_ID(" "), bar_fields[i].get(), VT_ID(" "), vt::format_of(values[i])});
    trace(c, text);
}

}  // namespace

void bind_bars(vt::Members &m) {
    const auto by_symbol = {vt::arg("self"), vt::arg("cqg_symbol").typed("str")};
    m.add<get_timedbars_from_cqg_symbol>("get_timedbars_from_cqg_symbol", by_symbol);
    m.add<subscribe_bar>("subscribe_bar", {vt::arg("self"), vt::arg("cqg_symbol").typed("str"),
                                           vt::arg("lookback_period").typed("int"),
                                           vt::arg("freq").typed("str").def(py::str("1Min"))});
    m.add<unsubscribe_bar>("unsubscribe_bar", by_symbol);
    m.add<get_subscribe_bars_data>("get_subscribe_bars_data", {vt::arg("self"), vt::arg("security")});
    m.add<OnTimedBarsResolved>("OnTimedBarsResolved",
                               {vt::arg("self"), vt::arg("cqgTimedBars"), vt::arg("cqgError")});
    m.add<OnTimedBarsAdded>("OnTimedBarsAdded", {vt::arg("self"), vt::arg("cqgTimedBars")});
    m.add<ignored>("OnTimedBarsUpdated", {vt::arg("self"), vt::arg("cqgTimedBars"), vt::arg("index")});
    m.add<ignored>("OnTimedBarsRemoved", {vt::arg("self"), vt::arg("cqgTimedBars"), vt::arg("index")});
    m.add<dumpBar>("dumpBar", {vt::arg("self"), vt::arg("bar"), vt::arg("index")});
}

}  // namespace cel
