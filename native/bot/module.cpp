// velmor_trader.plugins.telegram.bot: lets an operator watch and steer the
// running engine from a chat. Command handlers run on the chat library's
// dispatcher thread and only write requests on the shared client; the engine
// reads and clears them through the properties of the module's `bot`.
#include "bot.h"
#include "texts.h"

namespace py = pybind11;

VT_MODULE(bot, "velmor_trader.plugins.telegram.bot", nullptr) {
    vt::import_from(g, "datetime", {"datetime"});
    vt::import_module(g, "logging");
    vt::import_from(g, "telegram", {"Update"});
    vt::import_from(g, "telegram.ext", {"Updater", "ExtBot", "CallbackContext", "CommandHandler",
                                         "MessageHandler", "Filters"});
    vt::import_from(g, "velmor_trader_config", {"TELEGRAM_TOKEN", "TELEGRAM_CHAT_ID"});
    // Optional: the Bot API server to use instead of the client's default (a
    // self-hosted server, or the local stand-in).
    py::module_ config = py::module_::import("velmor_trader_config");
    g["TELEGRAM_BASE_URL"] =
        vt::lookup_global(g, VT_ID("getattr"))(config, "TELEGRAM_BASE_URL", py::none());
    g["logger"] = g["logging"].attr("getLogger")(g["__name__"]);

    vt::ClassBuilder client(g, "CustomedExtBot", py::make_tuple(g["ExtBot"]));
    client.attr("__slots__", py::make_tuple("velmor_trader_status"));
    g["CustomedExtBot"] = client.build();

    vt::Members members;
    bot::bind_handlers(members);
    bot::bind_telegram_bot(members, g);
    members.define(g, {"echo", "stop", "balance", "positions", "orders", "deals", "cancel_orders",
                       "cancel_order", "send_order", "close_positions"});
    vt::ClassBuilder cls(g, "TelegramBot", py::tuple(), bot::kHelp);
    // Each bot's constructor puts its updater on the list stopped at exit.
    cls.attr("__init__", vt::copy_function(members.function(cls, "__init__"),
                                           bot::updaters_stopped_at_exit(g)));
    bot::define_properties(cls, g);
    members.define(cls, {"send_message", "close", "get_updates", "get_chat_id"});
    members.check_all_defined();
    g["TelegramBot"] = cls.build();
    g["bot"] = g["TelegramBot"](py::arg("token") = g["TELEGRAM_TOKEN"]);
}
