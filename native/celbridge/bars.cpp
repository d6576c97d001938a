// The bar history: timed-bar subscriptions, the rolling lists they keep and
// the repair of missing values.
#include "celbridge.h"

#include <optional>

namespace cel {

py::object get_timedbars_from_cqg_symbol(vt::Call &c) {
    return find_by_symbol(VT_ATTR(api(c[0]), "AllTimedBars"), c[1],
                          [](py::handle bars) { return VT_ATTR(VT_ATTR(bars, "Request"), "Symbol"); });
}

py::object subscribe_bar(vt::Call &c) {
    py::handle self = c[0], symbol = c[1], lookback = c[2], freq = c[3];
    py::tuple allowed = py::make_tuple(VT_ID("1Day"), VT_ID("1Min"));
    int known = PySequence_Contains(allowed.ptr(), freq.ptr());
    if (known < 0) throw py::error_already_set();
    if (!known)
        fail(PyExc_ValueError, join({VT_ID("Parameter freq="), freq, VT_ID(" is Not supported. Only "),
                                     vt::check(PyObject_Str(allowed.ptr())), VT_ID(" are allowed.")}));
    trace(c, join({VT_ID("Create "), freq, VT_ID(" timed bars request for "), symbol}));
    Com com(c);
    py::object request = com.dispatch(api(self).attr(VT_ID("CreateTimedBarsRequest"))());
    const Members k = com.constants();
    VT_SET_ATTR(request, "Symbol", symbol);
    VT_SET_ATTR(request, "RangeStart", py::int_(0));
    // The range ends one bar before the look-back: the newest bar is the one
    // still forming, which the stored history leaves out.
    py::object negated = vt::check(PyNumber_Negative(lookback.ptr()));
    VT_SET_ATTR(request, "RangeEnd", vt::check(PyNumber_Subtract(negated.ptr(), py::int_(1).ptr())));
    if (equal(freq, VT_ID("1Day")))
        VT_SET_ATTR(request, "HistoricalPeriod", CEL_MEMBER(k, "hpDaily"));
    else if (equal(freq, VT_ID("1Min")))
        VT_SET_ATTR(request, "IntradayPeriod", CEL_MEMBER(k, "pfds1Min"));
    VT_SET_ATTR(request, "DailyBarClose", CEL_MEMBER(k, "dbcLastQuoteOrSettlement"));
    VT_SET_ATTR(request, "UpdatesEnabled", py::bool_(true));
    request.attr(VT_ID("IncludeOutput"))(CEL_MEMBER(k, "tbrContractVolume"), true);
    request.attr(VT_ID("IncludeOutput"))(CEL_MEMBER(k, "tbrCommodityVolume"), true);
    VT_SET_ATTR(request, "SessionsFilter", VT_ID("all"));
    py::object done = VT_ATTR(self, "eventBarDone");
    clear(done);
    call_method(api(self), VT_ID("RequestTimedBars"), request);
    trace(c, join({VT_ID("Waiting for eventBarDone in subscribe_bar("), symbol, VT_ID(")...")}));
    wait(c, done);
    trace(c, VT_ID("eventBarDone is done."));
    return py::none();
}

py::object unsubscribe_bar(vt::Call &c) {
    py::handle self = c[0], symbol = c[1];
    py::object bars = call_method(self, VT_ID("get_timedbars_from_cqg_symbol"), symbol);
    if (!truth(bars)) return py::none();
    call_method(api(self), VT_ID("RemoveTimedBars"), bars);
    // The caller's symbol, not the request's, names the stored history.
    py::object security =
        call_method(VT_ATTR(self, "gateway"), VT_ID("get_vl_security_from_cqg_symbol"), symbol);
    clear(VT_ATTR(self, "eventBarDone"));
    VT_ATTR(self, "subscribe_bars_data").attr(VT_ID("pop"))(security, py::none());
    trace(c, join({VT_ID("Successfully unsubscribe timedbar for "), symbol}));
    return py::none();
}

// ---- the gap repair -----------------------------------------------------------

namespace {

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
            if (PyLong_CheckExact(v)) return int_is(v);
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
    bool int_is(PyObject *v) const {
#if PY_VERSION_HEX < 0x030C0000
        // An int of at most one digit (nearly every volume) is its digit
        // and sign.
        const Py_ssize_t size = Py_SIZE(v);
        if (size >= -1 && size <= 1)
            return size * static_cast<long long>(reinterpret_cast<PyLongObject *>(v)->ob_digit[0]) == value_;
#endif
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        return !overflow && x == value_;
    }

    bool compare(py::handle value, int op) const {
        return truth(vt::check(PyObject_RichCompare(value.ptr(), marker_.ptr(), op)));
    }

    py::object marker_;
    bool plain_ = false;
    long long value_ = 0;
};

Py_ssize_t length(py::handle bars) {
    const Py_ssize_t n = PyObject_Size(bars.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

// bars[i] and bars[i] = bar, with a list's own indexing when it is one.
py::object item(py::handle bars, Py_ssize_t i) {
    if (PyList_CheckExact(bars.ptr())) return vt::check(PySequence_GetItem(bars.ptr(), i));
    return vt::check(PyObject_GetItem(bars.ptr(), py::int_(i).ptr()));
}

void store(py::handle bars, Py_ssize_t i, py::handle bar) {
    // Putting an exact list's own item back changes nothing.
    if (PyList_CheckExact(bars.ptr()) && i < PyList_GET_SIZE(bars.ptr()) &&
        PyList_GET_ITEM(bars.ptr(), i) == bar.ptr())
        return;
    int failed = PyList_CheckExact(bars.ptr()) ? PySequence_SetItem(bars.ptr(), i, bar.ptr())
                                               : PyObject_SetItem(bars.ptr(), py::int_(i).ptr(), bar.ptr());
    if (failed < 0) throw py::error_already_set();
}

// The values the repair works on, in the order it goes through them.
using Values = vt::AttrGroup<5>;
constexpr std::size_t kValues = 5;

Values &values_of_bars() {
    static Values values(vt::Access::ReadWrite, "open", "high", "low", "close", "volume");
    return values;
}

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

}  // namespace

// Missing values are carried forward from the last valid bar, then what
// stands before a field's first valid value is filled from the bar after
// it. The stored records are repaired in place, so the repair persists.
py::object get_subscribe_bars_data(vt::Call &c) {
    py::handle self = c[0], security = c[1];
    py::object bars = call_method(VT_ATTR(self, "subscribe_bars_data"), VT_ID("get"), security);
    if (bars.is_none()) return py::none();
    Py_ssize_t n = length(bars);
    if (n == 0) return py::none();
    const Marker missing(c.global(VT_ID("INVALID_VALUE")));
    Values &values = values_of_bars();
    for (Py_ssize_t i = 1; i < n; ++i) {
        py::object bar = item(bars, i), prev = item(bars, i - 1);
        fill_from(values, missing, bar, prev);
        store(bars, i, bar);
    }
    n = length(bars);
    for (Py_ssize_t i = n - 2; i >= 0; --i) {
        py::object bar = item(bars, i), next = item(bars, i + 1);
        fill_from(values, missing, bar, next);
        store(bars, i, bar);
    }
    py::object last = vt::check(PyObject_GetItem(bars.ptr(), py::int_(-1).ptr()));
    if (any_missing(values, missing, last))
        fail(PyExc_ValueError, join({VT_ID("The latest bar is INVALID: "), text_of(last), VT_ID(".")}));
    return bars;
}

// ---- bars from the API ----------------------------------------------------------

namespace {

// A Bar of the framework from an API bar: whole-second time, the five values.
py::object make_bar(vt::Call &c, py::handle Bar, py::handle api_bar, py::handle security) {
    py::object values[] = {cqg_time(c, VT_ATTR(api_bar, "Timestamp"), TimeArgs::Positional),
                           py::reinterpret_borrow<py::object>(security),
                           VT_ATTR(api_bar, "Open"),
                           VT_ATTR(api_bar, "High"),
                           VT_ATTR(api_bar, "Low"),
                           VT_ATTR(api_bar, "Close"),
                           VT_ATTR(api_bar, "ActualVolume")};
    PyObject *argv[7];
    for (int i = 0; i < 7; ++i) argv[i] = values[i].ptr();
    py::tuple names = py::make_tuple(VT_ID("datetime"), VT_ID("security"), VT_ID("open"), VT_ID("high"),
                                     VT_ID("low"), VT_ID("close"), VT_ID("volume"));
    return vt::check(PyObject_Vectorcall(Bar.ptr(), argv, 0, names.ptr()));
}

py::object symbol_of(py::handle collection) { return VT_ATTR(VT_ATTR(collection, "Request"), "Symbol"); }

py::object security_for(py::handle self, py::handle symbol) {
    return call_method(VT_ATTR(self, "gateway"), VT_ID("get_vl_security_from_cqg_symbol"), symbol);
}

}  // namespace

// The history is stored once per security, all but the newest API bar
// (still forming); an error, an empty answer or a history already stored
// only releases the waiting subscription.
py::object OnTimedBarsResolved(vt::Call &c) {
    py::handle self = c[0];
    if (!c[2].is_none()) {
        set_if_clear(VT_ATTR(self, "eventBarDone"));
        return py::none();
    }
    Com com(c);
    py::object bars = com.dispatch(c[1]);
    if (equal(VT_ATTR(bars, "Count"), py::int_(0))) {
        set_if_clear(VT_ATTR(self, "eventBarDone"));
        return py::none();
    }
    py::object security = security_for(self, symbol_of(bars));
    py::object data = VT_ATTR(self, "subscribe_bars_data");
    if (truth(call_method(data, VT_ID("get"), security))) {
        set_if_clear(VT_ATTR(self, "eventBarDone"));
        return py::none();
    }
    if (PyObject_SetItem(data.ptr(), security.ptr(), py::list().ptr()) < 0) throw py::error_already_set();
    const Py_ssize_t n = [&] {
        py::object last = vt::check(PyNumber_Subtract(VT_ATTR(bars, "Count").ptr(), py::int_(1).ptr()));
        py::object index = vt::check(PyNumber_Index(last.ptr()));
        Py_ssize_t v = PyNumber_AsSsize_t(index.ptr(), PyExc_OverflowError);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        return v;
    }();
    py::object Bar = c.global(VT_ID("Bar"));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object api_bar = call_method(bars, VT_ID("Item"), py::int_(i));
        py::object stored = vt::check(PyObject_GetItem(data.ptr(), security.ptr()));
        call_method(stored, VT_ID("append"), make_bar(c, Bar, api_bar, security));
    }
    set_if_clear(VT_ATTR(self, "eventBarDone"));
    return py::none();
}

// The bar before the newest one has just been finished: a later one rolls
// the stored window forward by one. A stored history of no bar (the answer
// held only the forming bar) starts with it instead of failing on the
// missing last bar.
py::object OnTimedBarsAdded(vt::Call &c) {
    py::handle self = c[0];
    Com com(c);
    py::object bars = com.dispatch(c[1]);
    py::object count = VT_ATTR(bars, "Count");
    int few = PyObject_RichCompareBool(count.ptr(), py::int_(2).ptr(), Py_LT);
    if (few < 0) throw py::error_already_set();
    if (few) return py::none();
    py::object security = security_for(self, symbol_of(bars));
    py::object data = VT_ATTR(self, "subscribe_bars_data");
    if (vt::assertions_enabled()) {
        py::object entry = vt::check(PyObject_GetItem(data.ptr(), security.ptr()));
        vt::assert_that(!entry.is_none(), "We should have initiated data in OnTimedBarsResolved first!");
    }
    py::object finished = call_method(bars, VT_ID("Item"),
                                      vt::check(PyNumber_Subtract(count.ptr(), py::int_(2).ptr())));
    py::object bar = make_bar(c, c.global(VT_ID("Bar")), finished, security);
    py::object stored = vt::check(PyObject_GetItem(data.ptr(), security.ptr()));
    if (!stored.is_none()) {
        if (length(stored) == 0) {
            print_text(c, join({VT_ID("[2] OnTimedBarsAdded: "), text_of(bar)}));
            call_method(stored, VT_ID("append"), bar);
            return py::none();
        }
    }
    py::object last = vt::check(PyObject_GetItem(stored.ptr(), py::int_(-1).ptr()));
    int later = PyObject_RichCompareBool(VT_ATTR(bar, "datetime").ptr(), VT_ATTR(last, "datetime").ptr(), Py_GT);
    if (later < 0) throw py::error_already_set();
    if (later) {
        print_text(c, join({VT_ID("[2] OnTimedBarsAdded: "), text_of(bar)}));
        call_method(stored, VT_ID("pop"), py::int_(0));
        call_method(stored, VT_ID("append"), bar);
    }
    return py::none();
}

// Changes to bars already in the collection are not followed.
py::object OnTimedBarsUpdated(vt::Call &) { return py::none(); }
py::object OnTimedBarsRemoved(vt::Call &) { return py::none(); }

py::object dumpBar(vt::Call &c) {
    py::handle bar = c[1], index = c[2];
    py::object values[] = {py::reinterpret_borrow<py::object>(index),
                           VT_ATTR(bar, "Timestamp"),
                           VT_ATTR(bar, "Open"),
                           VT_ATTR(bar, "High"),
                           VT_ATTR(bar, "Low"),
                           VT_ATTR(bar, "Close"),
                           VT_ATTR(bar, "ActualVolumeFractional"),
                           VT_ATTR(bar, "CommodityVolumeFractional"),
                           VT_ATTR(bar, "ContractVolumeFractional"),
                           VT_ATTR(bar, "TickVolume")};
    const char *const labels[] = {"Bar index: ",
                                  " Timestamp ",
                                  " Open ",
                                  " High ",
                                  " Low ",
                                  " Close ",
                                  " ActualVolumeFractional ",
                                  " CommodityVolumeFractional ",
                                  " ContractVolumeFractional ",
                                  " TickVolume "};
    py::list parts;
    for (int i = 0; i < 10; ++i) {
        parts.append(py::str(labels[i]));
        parts.append(text_of(values[i]));
    }
    trace(c, vt::check(PyUnicode_Join(VT_ID("").ptr(), parts.ptr())));
    return py::none();
}

}  // namespace cel
