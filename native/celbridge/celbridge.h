// The broker client: one CelBridge per connection to the broker's COM API.
// Each file binds its own bodies (bind_<file>); module.cpp gives them the
// class's order. Below are the helpers every part of the client shares.
//
// Everything the client reaches through the module's namespace (win32com,
// Trace, AssertMessage, TIMEOUT, datetime, the records...) is looked up when
// it is used, as the Python code of the module would, so tests can patch it.
// Helpers therefore take the running call, whose globals are the module's.
#pragma once

#include <utility>

#include <vt.h>

namespace cel {
namespace py = pybind11;

void bind_lifecycle(vt::Members &m);
void bind_quotes(vt::Members &m);
void bind_orderbook(vt::Members &m);
void bind_bars(vt::Members &m);
void bind_accounts(vt::Members &m);
void bind_orders(vt::Members &m);

// The enumeration members of the COM layer, read one by one at the moment
// the behaviour reaches them (CEL_MEMBER). A dynamic COM layer answers them
// from a Python-level __getattr__, which getattr reaches only after the
// generic lookup has failed and built an AttributeError, costing more than the
// member itself. Where the type keeps object's own lookup and adds a plain
// __getattr__, the generic lookup is asked to fail quietly and __getattr__ is
// called as getattr would call it: the same lookups, the same call, the same
// result and errors. Which path applies is settled once per handler call.
class Constants {
public:
    explicit Constants(py::object constants)
        : constants_(std::move(constants)),
          hook_(py::reinterpret_borrow<py::object>(vt::getattr_hook(Py_TYPE(constants_.ptr())))) {}

    py::object get(py::handle name) const {
        if (!hook_) return vt::get_attr(constants_, name);
        if (py::object found = vt::generic_attr_or_null(constants_, name)) return found;
        return vt::call(hook_, {constants_, name});
    }

private:
    py::object constants_;
    py::object hook_;  // the type's __getattr__ when the quiet path applies
};
#define CEL_MEMBER(constants, text) ((constants).get(VT_ID(text)))

// A name written in a table rather than at its use: interned on first use
// and kept, as VT_ID keeps a literal's.
struct Name {
    constexpr Name(const char *text) : text(text) {}
    py::handle get() { return name ? name : vt::intern_into(&name, text); }

    const char *text;
    PyObject *name = nullptr;
};

// A row of a table of names: a key (an enumeration member's name, a text)
// and the name or text it stands for.
using NameRow = std::pair<Name, Name>;

// {constants.<key>: value for each row}, the members read in the rows' order
// (a later row of an equal member wins, as in a dict display).
template <std::size_t N>
py::dict member_table(const Constants &constants, NameRow (&rows)[N]) {
    py::dict table;
    for (NameRow &row : rows) vt::set_item(table, constants.get(row.first.get()), row.second.get());
    return table;
}

// `win32com.client` as the module sees it now. A handler reads it once and
// uses it for all its Dispatch calls and enumeration reads.
struct Com {
    py::object client;

    explicit Com(vt::Call &c) : client(VT_ATTR(VT_GLOBAL(c, "win32com"), "client")) {}

    // win32com.client.Dispatch(obj)
    py::object dispatch(py::handle obj) const { return vt::call_method(client, VT_ID("Dispatch"), obj); }
    // win32com.client.constants
    Constants constants() const { return Constants(VT_ATTR(client, "constants")); }
};

// The body of an event the client does not follow (self and the event's two
// arguments): changes to bars already stored, ticks removed.
inline void ignored(py::handle, py::handle, py::handle) {}

// self.celEnvironment.cqgCEL, read afresh at every use.
inline py::object api(py::handle self) {
    return VT_ATTR(VT_ATTR(self, "celEnvironment"), "cqgCEL");
}

// self.get_account_from_gwaccountid(GWAccountID=self.GWAccountID): the
// selected account, looked up afresh (the method read first, as Python does).
inline py::object selected_account(py::handle self) {
    py::object lookup = VT_ATTR(self, "get_account_from_gwaccountid");
    return vt::call(lookup, {VT_ATTR(self, "GWAccountID")}, {VT_ID("GWAccountID")});
}

// The last "."-separated part of a CQG name (the whole name without a dot),
// as `name.split(".")[-1]`.
py::object last_part(py::handle name);

// Trace(text), through the module's Trace of the moment.
inline void trace(vt::Call &c, py::handle text) { vt::call(c.global(VT_ID("Trace")), {text}); }

// AssertMessage(condition, text).
inline void assert_message(vt::Call &c, py::handle condition, py::handle text) {
    vt::call(c.global(VT_ID("AssertMessage")), {condition, text});
}

// print(text), the builtin unless the module's namespace holds another
// (named apart from pybind11::print, which argument lookup would prefer).
inline void print_text(vt::Call &c, py::handle text) { vt::call(c.global(VT_ID("print")), {text}); }

// event.wait(TIMEOUT): threading.Event.wait gives the GIL up while it
// sleeps, so the API's event thread can always run the handler that sets it.
inline py::object wait(vt::Call &c, py::handle event) {
    return vt::call_method(event, VT_ID("wait"), c.global(VT_ID("TIMEOUT")));
}

inline void clear(py::handle event) { vt::call_method(event, VT_ID("clear")); }
inline void set(py::handle event) { vt::call_method(event, VT_ID("set")); }
inline bool is_set(py::handle event) { return vt::truth(vt::call_method(event, VT_ID("is_set"))); }

// `if not event.is_set(): event.set()`
inline void set_if_clear(py::handle event) {
    if (!is_set(event)) set(event);
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
inline py::object now(vt::Call &c) { return vt::call_method(VT_GLOBAL(c, "datetime"), VT_ID("now")); }

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
    py::object exact, first;
    vt::for_each(collection, [&](py::object &item) {
        int match = symbol_match(name_of(item), symbol);
        if (match == 2) exact = item;
        else if (match && !first) first = item;
        return !exact;
    });
    if (exact) return exact;
    return first ? first : py::none();
}

}  // namespace cel
