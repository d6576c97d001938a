// The bar history: timed-bar subscriptions, the rolling lists they keep and
// the repair of missing values.
#include "celbridge.h"

namespace cel {

namespace {

[[noreturn]] void not_yet() {
    PyErr_SetString(PyExc_NotImplementedError, "part two");
    throw py::error_already_set();
}

}  // namespace

py::object get_timedbars_from_cqg_symbol(vt::Call &) { not_yet(); }
py::object subscribe_bar(vt::Call &) { not_yet(); }
py::object unsubscribe_bar(vt::Call &) { not_yet(); }
py::object get_subscribe_bars_data(vt::Call &) { not_yet(); }
py::object OnTimedBarsResolved(vt::Call &) { not_yet(); }
py::object OnTimedBarsAdded(vt::Call &) { not_yet(); }
py::object OnTimedBarsUpdated(vt::Call &) { not_yet(); }
py::object OnTimedBarsRemoved(vt::Call &) { not_yet(); }
py::object dumpBar(vt::Call &) { not_yet(); }

}  // namespace cel
