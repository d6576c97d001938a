// The chat library's polling and dispatching threads are not daemons: a
// program that ends without close() (an engine that crashed, a script that
// returned) would wait for them for ever, its bot still acknowledging
// commands that no engine is left to carry out. So every bot's updater is
// stopped when the interpreter shuts down, before it waits for its threads:
// threading's own exit hooks run then, the atexit module's only after.
#pragma once

#include <vt.h>

namespace bot {
namespace py = pybind11;

// A new list of updaters that are stopped at shutdown if still running,
// its exit hook registered with threading.
py::object updaters_stopped_at_exit(py::dict globals);

// Puts `updater` on that list, dropping those that have been stopped since
// (close() stops them), so that a stopped updater is not kept alive.
void stop_at_exit(py::handle updaters, py::handle updater);

}  // namespace bot
