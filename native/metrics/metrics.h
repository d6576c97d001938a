// The performance metrics: the bodies of the module's functions.
#pragma once

#include <vt.h>

namespace metrics {
namespace py = pybind11;

// ratios.cpp
py::object sharpe_ratio(vt::Call &c);
py::object information_ratio(vt::Call &c);
py::object modigliani_ratio(vt::Call &c);

// clock.cpp
py::object convert_time(vt::Call &c);
py::object holding_period(vt::Call &c);

// percentile.cpp: the factory; its closure is the prototype of the
// functions it makes (see make_percentile_prototype).
py::object percentile(vt::Call &c);
py::object make_percentile_prototype(py::handle globals);

// drawdown.cpp; its closure is drawdown_closure().
py::object rolling_maximum_drawdown(vt::Call &c);
py::object drawdown_closure();

}  // namespace metrics
