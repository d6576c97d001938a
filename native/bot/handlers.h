// The chat command handlers: module-level functions handler(update, context)
// that write the operator's request on the shared client and acknowledge.
#pragma once

#include <vt.h>

namespace bot {
namespace py = pybind11;

// Binds echo, stop, balance, positions, orders, deals, cancel_orders,
// cancel_order, send_order and close_positions in the module namespace.
void define_handlers(py::dict globals);

}  // namespace bot
