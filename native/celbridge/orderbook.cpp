// The top-of-book stream: tick subscriptions and the order book they feed.
#include "celbridge.h"

namespace cel {

namespace {

[[noreturn]] void not_yet() {
    PyErr_SetString(PyExc_NotImplementedError, "part two");
    throw py::error_already_set();
}

}  // namespace

py::object get_ticks_from_cqg_symbol(vt::Call &) { not_yet(); }
py::object subscribe_orderbook(vt::Call &) { not_yet(); }
py::object unsubscribe_orderbook(vt::Call &) { not_yet(); }
py::object OnTicksResolved(vt::Call &) { not_yet(); }
py::object OnTicksAdded(vt::Call &) { not_yet(); }
py::object OnTicksRemoved(vt::Call &) { not_yet(); }
py::object TickType2String(vt::Call &) { not_yet(); }

}  // namespace cel
