// velmor_trader.plugins.telegram.bot: lets an operator watch and steer the
// running engine from a chat. Command handlers run on the chat library's
// dispatcher thread and only write requests on the shared client; the engine
// reads and clears them through the properties of the module's `bot`.
#include <vt.h>

#include "handlers.h"
#include "telegram_bot.h"

namespace {

namespace py = pybind11;

// Optional configuration name: the Bot API server to use instead of the
// client's default (a self-hosted server, or the local stand-in).
py::object optional_setting(const char *module, const char *name) {
    py::module_ config = py::module_::import(module);
    PyObject *value = PyObject_GetAttrString(config.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

}  // namespace

VT_MODULE(bot, "velmor_trader.plugins.telegram.bot", nullptr) {
    vt::import_from(g, "datetime", {"datetime"});
    vt::import_module(g, "logging");
    vt::import_from(g, "telegram", {"Update"});
    vt::import_from(g, "telegram.ext", {"Updater"});
    vt::import_from(g, "telegram.ext", {"ExtBot"});
    vt::import_from(g, "telegram.ext", {"CallbackContext"});
    vt::import_from(g, "telegram.ext", {"CommandHandler"});
    vt::import_from(g, "telegram.ext", {"MessageHandler"});
    vt::import_from(g, "telegram.ext", {"Filters"});
    vt::import_from(g, "velmor_trader_config", {"TELEGRAM_TOKEN", "TELEGRAM_CHAT_ID"});
    g["TELEGRAM_BASE_URL"] = optional_setting("velmor_trader_config", "TELEGRAM_BASE_URL");
    g["logger"] = g["logging"].attr("getLogger")(g["__name__"]);

    vt::ClassBuilder client(g, "CustomedExtBot", py::make_tuple(g["ExtBot"]));
    client.attr("__slots__", py::make_tuple("velmor_trader_status"));
    g["CustomedExtBot"] = client.build();

    bot::define_handlers(g);
    g["TelegramBot"] = bot::build_telegram_bot(g);
    g["bot"] = g["TelegramBot"](py::arg("token") = g["TELEGRAM_TOKEN"]);
}
