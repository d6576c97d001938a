// The chat library's polling and dispatching threads are not daemons: a
// program that ends without close() (an engine that crashed, a script that
// returned) would wait for them for ever, its bot still acknowledging
// commands that no engine is left to carry out. So every bot's updater is
// stopped when the interpreter shuts down, before it waits for its threads:
// threading's own exit hooks run then, the atexit module's only after.
#include "bot.h"

namespace bot {

namespace {

bool is_running(py::handle updater) { return vt::truth(VT_ATTR(updater, "running")); }

// A copy: stopping runs Python code, which may build another bot.
py::list items_of(py::handle updaters) {
    return vt::check(PyList_GetSlice(updaters.ptr(), 0, PY_SSIZE_T_MAX));
}

// Stops each updater still running; one that fails to stop is reported as
// an unraisable error and keeps neither the others from stopping nor the
// interpreter from going on with its shutdown.
void stop_running(vt::Call &c) {
    for (py::handle updater : items_of(c.closure())) {
        try {
            if (is_running(updater)) updater.attr(VT_ID("stop"))();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(py::reinterpret_borrow<py::object>(updater));
        }
    }
}

}  // namespace

py::object updaters_stopped_at_exit(py::dict g) {
    py::list updaters;
    auto sig = vt::signature({});
    py::object hook = vt::make_function(g, "_stop_polling_at_exit", sig,
                                        vt::checked_body<stop_running>("_stop_polling_at_exit", sig),
                                        nullptr, updaters);
    py::module_::import("threading").attr("_register_atexit")(hook);
    return std::move(updaters);
}

void stop_at_exit(py::handle updaters, py::handle updater) {
    py::list kept;
    for (py::handle earlier : items_of(updaters))
        if (is_running(earlier)) kept.append(earlier);
    kept.append(updater);
    if (PyList_SetSlice(updaters.ptr(), 0, PY_SSIZE_T_MAX, kept.ptr()) < 0)
        throw py::error_already_set();
}

}  // namespace bot
