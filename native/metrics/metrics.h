// The performance metrics: each file binds the module functions it defines.
#pragma once

#include <vt.h>

namespace metrics {
namespace py = pybind11;

void bind_ratios(vt::Members &m);
void bind_clock(vt::Members &m);
void bind_percentile(vt::Members &m);
void bind_drawdown(vt::Members &m);

}  // namespace metrics
