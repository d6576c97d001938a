// The broker client: one CelBridge per connection to the broker's COM API.
// Declarations of the method bodies (bound in module.cpp) and the helpers
// every part of the client shares.
//
// Everything the client reaches through the module's namespace (win32com,
// Trace, AssertMessage, TIMEOUT, datetime, the records...) is looked up when
// it is used, as the Python code of the module would, so tests can patch it.
// Helpers therefore take the running call, whose globals are the module's.
#pragma once

#include <initializer_list>
#include <stdexcept>

#include <vt.h>

namespace cel {
namespace py = pybind11;

// ---- method and function bodies ---------------------------------------

// lifecycle.cpp
py::object construct(vt::Call &c);  // __init__
py::object Init(vt::Call &c);
py::object Logon(vt::Call &c);
py::object Logoff(vt::Call &c);
py::object get_account_from_gwaccountid(vt::Call &c);
py::object OnDataError(vt::Call &c);
py::object OnGWConnectionStatusChanged(vt::Call &c);
py::object OnDataConnectionStatusChanged(vt::Call &c);

// quotes.cpp
py::object get_instrument_from_cqg_symbol(vt::Call &c);
py::object subscribe_quote(vt::Call &c);
py::object unsubscribe_quote(vt::Call &c);
py::object OnInstrumentResolved(vt::Call &c);
py::object OnInstrumentChanged(vt::Call &c);
py::object QuoteType2String(vt::Call &c);

// orderbook.cpp
py::object get_ticks_from_cqg_symbol(vt::Call &c);
py::object subscribe_orderbook(vt::Call &c);
py::object unsubscribe_orderbook(vt::Call &c);
py::object OnTicksResolved(vt::Call &c);
py::object OnTicksAdded(vt::Call &c);
py::object OnTicksRemoved(vt::Call &c);
py::object TickType2String(vt::Call &c);

// bars.cpp
py::object get_timedbars_from_cqg_symbol(vt::Call &c);
py::object subscribe_bar(vt::Call &c);
py::object unsubscribe_bar(vt::Call &c);
py::object get_subscribe_bars_data(vt::Call &c);
py::object OnTimedBarsResolved(vt::Call &c);
py::object OnTimedBarsAdded(vt::Call &c);
py::object OnTimedBarsUpdated(vt::Call &c);
py::object OnTimedBarsRemoved(vt::Call &c);
py::object dumpBar(vt::Call &c);

// accounts.cpp
py::object subscribe_account_and_positions(vt::Call &c);
py::object unsubscribe_account_and_positions(vt::Call &c);
py::object update_account_balance(vt::Call &c);
py::object update_positions(vt::Call &c);
py::object OnAccountChanged(vt::Call &c);

// orders.cpp
py::object place_order(vt::Call &c);
py::object cancel_order(vt::Call &c);
py::object OnOrderChanged(vt::Call &c);
py::object convert_orderstatus_cqg2vl(vt::Call &c);

// shared.cpp holds the helpers below that are not inline.

// ---- the COM layer ------------------------------------------------------

// The enumeration members of the COM layer, read one by one at the moment
// the behaviour reaches them (CEL_MEMBER). A dynamic COM layer answers them
// from a Python-level __getattr__, which getattr reaches only after the
// generic lookup has failed and built an AttributeError, costing more than the
// member itself. Where the type keeps object's own lookup and adds a plain
// __getattr__, the generic lookup is asked to fail quietly and __getattr__ is
// called as getattr would call it: the same lookups, the same call, the same
// result and errors. Which path applies is settled once per handler call.
class Members {
public:
    explicit Members(py::object constants);
    py::object get(py::handle name) const;
    // The constants object itself, for plain attribute access.
    operator const py::object &() const { return constants_; }

private:
    py::object constants_;
    py::object hook_;  // the type's __getattr__ when the quiet path applies
};
#define CEL_MEMBER(members, text) ((members).get(VT_ID(text)))

// `win32com.client` as the module sees it now. A handler reads it once and
// uses it for all its Dispatch calls and enumeration reads.
struct Com {
    py::object client;

    explicit Com(vt::Call &c) : client(VT_ATTR(VT_GLOBAL(c, "win32com"), "client")) {}

    // win32com.client.Dispatch(obj)
    py::object dispatch(py::handle obj) const {
        return vt::check(PyObject_CallMethodOneArg(client.ptr(), VT_ID("Dispatch").ptr(), obj.ptr()));
    }
    // win32com.client.constants
    Members constants() const { return Members(VT_ATTR(client, "constants")); }
};

// self.celEnvironment.cqgCEL, read afresh at every use.
inline py::object api(py::handle self) {
    return VT_ATTR(VT_ATTR(self, "celEnvironment"), "cqgCEL");
}

// ---- texts ---------------------------------------------------------------

// format(value, ""): the text form of a value.
inline py::object text_of(py::handle value) {
    return vt::check(PyObject_Format(value.ptr(), nullptr));
}

// The parts joined; each must be a str (as `+` on texts requires).
inline py::object join(std::initializer_list<py::handle> parts) {
    py::tuple items(parts.size());
    Py_ssize_t i = 0;
    for (py::handle part : parts) {
        if (!PyUnicode_Check(part.ptr())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(part.ptr())->tp_name);
            throw py::error_already_set();
        }
        PyTuple_SET_ITEM(items.ptr(), i++, Py_NewRef(part.ptr()));
    }
    return vt::check(PyUnicode_Join(VT_ID("").ptr(), items.ptr()));
}

// The last "."-separated part of a CQG name (the whole name without a dot),
// as `name.split(".")[-1]`.
py::object last_part(py::handle name);

// Raises `kind(text)`, e.g. ValueError with a composed text.
[[noreturn]] inline void fail(PyObject *kind, py::handle text) {
    PyErr_SetObject(kind, text.ptr());
    throw py::error_already_set();
}

// fn(args...), and fn(args..., name=value...) with the last
// `keywords.size()` arguments passed by the names given, through vectorcall
// (at most 16 arguments).
inline py::object call(py::handle fn, std::initializer_list<py::handle> args,
                       std::initializer_list<py::handle> keywords = {}) {
    PyObject *argv[16];
    if (args.size() > 16 || keywords.size() > args.size()) throw std::length_error("call arguments");
    std::size_t n = 0;
    for (py::handle arg : args) argv[n++] = arg.ptr();
    if (keywords.size() == 0) return vt::check(PyObject_Vectorcall(fn.ptr(), argv, n, nullptr));
    py::tuple names(keywords.size());
    Py_ssize_t i = 0;
    for (py::handle name : keywords) PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(name.ptr()));
    return vt::check(PyObject_Vectorcall(fn.ptr(), argv, n - keywords.size(), names.ptr()));
}

// obj.name(arg), through the method-call fast path.
inline py::object call_method(py::handle obj, py::handle name, py::handle arg) {
    return vt::check(PyObject_CallMethodOneArg(obj.ptr(), name.ptr(), arg.ptr()));
}

// ---- logging -------------------------------------------------------------

// Trace(text), through the module's Trace of the moment.
inline void trace(vt::Call &c, py::handle text) { call(c.global(VT_ID("Trace")), {text}); }

// AssertMessage(condition, text).
inline void assert_message(vt::Call &c, py::handle condition, py::handle text) {
    call(c.global(VT_ID("AssertMessage")), {condition, text});
}

// print(text), the builtin unless the module's namespace holds another
// (named apart from pybind11::print, which argument lookup would prefer).
inline void print_text(vt::Call &c, py::handle text) { call(c.global(VT_ID("print")), {text}); }

// ---- events and waits ----------------------------------------------------

// event.wait(TIMEOUT): threading.Event.wait gives the GIL up while it
// sleeps, so the API's event thread can always run the handler that sets it.
inline py::object wait(vt::Call &c, py::handle event) {
    return vt::check(PyObject_CallMethodOneArg(event.ptr(), VT_ID("wait").ptr(),
                                               c.global(VT_ID("TIMEOUT")).ptr()));
}

inline void clear(py::handle event) {
    vt::check(PyObject_CallMethodNoArgs(event.ptr(), VT_ID("clear").ptr()));
}

inline void set(py::handle event) {
    vt::check(PyObject_CallMethodNoArgs(event.ptr(), VT_ID("set").ptr()));
}

inline bool is_set(py::handle event) {
    py::object flag = vt::check(PyObject_CallMethodNoArgs(event.ptr(), VT_ID("is_set").ptr()));
    int truth = PyObject_IsTrue(flag.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

// `if not event.is_set(): event.set()`
inline void set_if_clear(py::handle event) {
    if (!is_set(event)) set(event);
}

// ---- values ----------------------------------------------------------------

// The truth value of `value`, as `if value:` takes it.
inline bool truth(py::handle value) {
    int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw py::error_already_set();
    return t != 0;
}

// a == b, as Python compares.
inline bool equal(py::handle a, py::handle b) {
    int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (eq < 0) throw py::error_already_set();
    return eq != 0;
}

// value != 0: the framework's records hold 0 for what has not arrived yet.
inline bool nonzero(py::handle value) {
    int ne = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_NE);
    if (ne < 0) throw py::error_already_set();
    return ne != 0;
}

// How the framework rebuilds a CQG time: whole seconds, no time zone.
enum class TimeArgs { Positional, Keywords };

// datetime(year, month, day, hour, minute, second) from the members of a
// CQG time value, through the module's `datetime` of the moment; the
// fields go by position or by keyword, as each caller's behaviour says.
py::object cqg_time(vt::Call &c, py::handle stamp, TimeArgs args);

// datetime.now()
inline py::object now(vt::Call &c) {
    return vt::check(PyObject_CallMethodNoArgs(VT_GLOBAL(c, "datetime").ptr(), VT_ID("now").ptr()));
}

// ---- finding API objects by symbol -----------------------------------------

// How well a CQG name matches a symbol: 0 no match, 1 the symbol is part of
// the name, 2 exact (the name is the symbol, or its last "."-separated part
// is). `symbol in name` raises as Python's `in` would for a non-text name.
int symbol_match(py::handle name, py::handle symbol);

// The first object of `collection` (iterated in its own order) whose name
// matches `symbol` exactly, else the first that contains it, else None.
// `name_of(item)` gives an object's CQG name. An order for one contract must
// never go out on another whose name merely contains the symbol.
template <class NameOf>
py::object find_by_symbol(py::handle collection, py::handle symbol, NameOf name_of) {
    py::object iterator = vt::check(PyObject_GetIter(collection.ptr()));
    py::object first;
    while (PyObject *next = PyIter_Next(iterator.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(next);
        int match = symbol_match(name_of(item), symbol);
        if (match == 2) return item;
        if (match && !first) first = std::move(item);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return first ? first : py::none();
}

}  // namespace cel
