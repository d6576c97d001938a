// TelegramBot: the engine's handle on the chat bot. It builds the client and
// the updater, registers the handlers, starts polling, and exposes the
// request attributes of the client as properties.
#pragma once

#include <vt.h>

namespace bot {
namespace py = pybind11;

// Builds the class in the module namespace (after the handlers exist).
py::object build_telegram_bot(py::dict globals);

}  // namespace bot
