#include "telegram_bot.h"

#include <array>
#include <iterator>
#include <string>
#include <utility>

#include "command.h"
#include "shutdown.h"
#include "texts.h"

namespace bot {

namespace {

enum class Setter { Text, Flag, Value };

// A request property: the client attribute it reads and writes, and what
// its setter accepts.
struct Request {
    const char *name;
    Setter setter;
};

// In the order the properties are defined.
constexpr Request kProperties[] = {
    {"velmor_trader_status", Setter::Text},
    {"get_balance", Setter::Flag},
    {"get_positions", Setter::Flag},
    {"get_orders", Setter::Flag},
    {"num_orders_displayed", Setter::Value},
    {"active_orders", Setter::Flag},
    {"get_deals", Setter::Flag},
    {"num_deals_displayed", Setter::Value},
    {"cancel_order", Setter::Flag},
    {"cancel_order_id", Setter::Value},
    {"gateway_name", Setter::Value},
    {"cancel_orders", Setter::Flag},
    {"send_order", Setter::Flag},
    {"order_string", Setter::Value},
    {"close_positions", Setter::Flag},
    {"close_positions_gateway_name", Setter::Value},
};

// The commands, in the order their handlers are built; each is handled by
// the module function of the same name.
constexpr const char *kCommands[] = {"stop",         "balance",       "positions",
                                     "orders",       "deals",         "cancel_order",
                                     "cancel_orders", "send_order",   "close_positions"};

// self.updater.bot
py::object client_of(py::handle self) { return VT_ATTR(VT_ATTR(self, "updater"), "bot"); }

void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// The initial request attributes, in the order the constructor sets them.
void reset_requests(py::handle self) {
    const std::pair<py::handle, py::object> initial[] = {
        {VT_ID("velmor_trader_status"), py::str("Running")},
        {VT_ID("get_balance"), py::bool_(false)},
        {VT_ID("get_positions"), py::bool_(false)},
        {VT_ID("get_orders"), py::bool_(false)},
        {VT_ID("active_orders"), py::bool_(false)},
        {VT_ID("num_orders_displayed"), py::int_(1)},
        {VT_ID("get_deals"), py::bool_(false)},
        {VT_ID("num_deals_displayed"), py::int_(1)},
        {VT_ID("cancel_order"), py::bool_(false)},
        {VT_ID("cancel_order_id"), py::none()},
        {VT_ID("gateway_name"), py::none()},
        {VT_ID("cancel_orders"), py::bool_(false)},
        {VT_ID("send_order"), py::bool_(false)},
        {VT_ID("order_string"), py::str("")},
        {VT_ID("close_positions"), py::bool_(false)},
        {VT_ID("close_positions_gateway_name"), py::none()},
    };
    for (const auto &[name, value] : initial) set_attr(client_of(self), name, value);
}

// The request queue beside the flags: (command, arguments) of every accepted
// command, in the order they came. A deque, so that the dispatcher's thread
// appends and the engine's thread pops without a lock.
void start_request_queue(py::handle self) {
    py::object deque = py::module_::import("collections").attr("deque");
    set_attr(client_of(self), VT_ID("velmor_trader_requests"), deque());
}

py::object init(vt::Call &c) {
    py::handle self = c[0], token = c[1];
    py::object base_url = c.global(VT_ID("TELEGRAM_BASE_URL"));
    py::object client_class = c.global(VT_ID("CustomedExtBot"));
    py::object client = base_url.is_none()
                            ? client_class(py::arg("token") = token)
                            : client_class(py::arg("token") = token, py::arg("base_url") = base_url);
    set_attr(self, VT_ID("updater"),
             c.global(VT_ID("Updater"))(py::arg("use_context") = true, py::arg("bot") = client));
    reset_requests(self);
    start_request_queue(self);
    py::object dispatcher = self.attr(VT_ID("updater")).attr(VT_ID("dispatcher"));

    py::object command_handler = c.global(VT_ID("CommandHandler"));
    py::list handlers;
    for (const char *command : kCommands)
        handlers.append(command_handler(py::str(command), c.global(py::str(command))));
    py::object filters = c.global(VT_ID("Filters"));
    py::object not_command = vt::check(PyNumber_Invert(filters.attr(VT_ID("command")).ptr()));
    py::object text_only =
        vt::check(PyNumber_And(filters.attr(VT_ID("text")).ptr(), not_command.ptr()));
    py::object echo_handler = c.global(VT_ID("MessageHandler"))(text_only, c.global(VT_ID("echo")));

    py::object add_handler = dispatcher.attr(VT_ID("add_handler"));
    add_handler(echo_handler);
    for (py::handle handler : handlers) add_handler(handler);
    py::object updater = self.attr(VT_ID("updater"));
    stop_at_exit(c.closure(), updater);
    updater.attr(VT_ID("start_polling"))();
    return py::none();
}

// One getter and one setter body per property, each with its own
// attribute site on the client.
template <std::size_t I>
py::object get_request(vt::Call &c) {
    static vt::AttrSite site(kProperties[I].name);
    return site.get(client_of(c[0]));
}

template <std::size_t I>
py::object set_request(vt::Call &c) {
    static vt::AttrSite site(kProperties[I].name);
    site.set(client_of(c[0]), c[1]);
    return py::none();
}

struct Accessors {
    vt::Impl get, set;
};

template <std::size_t... I>
constexpr std::array<Accessors, sizeof...(I)> accessors(std::index_sequence<I...>) {
    return {{{get_request<I>, set_request<I>}...}};
}

constexpr auto kAccessors = accessors(std::make_index_sequence<std::size(kProperties)>());

py::object requests(vt::Call &c) { return VT_ATTR(client_of(c[0]), "velmor_trader_requests"); }

py::object send_message(vt::Call &c) {
    py::handle self = c[0];
    py::object chat_id = vt::convert(vt::Conv::Int, c[2], "chat_id", false);
    py::object msg = vt::convert(vt::Conv::Str, c[1], "msg", false);
    bot::send_message(client_of(self), chat_id, msg);
    return py::none();
}

py::object close(vt::Call &c) {
    c[0].attr(VT_ID("updater")).attr(VT_ID("stop"))();
    return py::none();
}

py::object first_of(py::handle sequence) {
    return vt::check(PyObject_GetItem(sequence.ptr(), py::int_(0).ptr()));
}

// Stores the pending updates in self.updates and prints the oldest.
py::object get_updates(vt::Call &c) {
    py::handle self = c[0];
    set_attr(self, VT_ID("updates"), client_of(self).attr(VT_ID("get_updates"))());
    c.global(VT_ID("print"))(first_of(self.attr(VT_ID("updates"))));
    return py::none();
}

// The id of the user who sent the oldest pending update.
py::object get_chat_id(vt::Call &c) {
    py::handle self = c[0];
    self.attr(VT_ID("get_updates"))();
    py::object first = first_of(self.attr(VT_ID("updates")));
    return first.attr(VT_ID("message")).attr(VT_ID("from_user")).attr(VT_ID("id"));
}

}  // namespace

py::object build_telegram_bot(py::dict g) {
    auto self_only = vt::signature({vt::arg("self")});
    vt::ClassBuilder cls(g, "TelegramBot", py::tuple(), kHelp);
    // Each bot's constructor puts its updater on the list stopped at exit.
    auto init_sig = vt::signature({vt::arg("self"), vt::arg("token").typed("str")});
    cls.attr("__init__", vt::make_function(g, "TelegramBot.__init__", init_sig, init, nullptr,
                                           updaters_stopped_at_exit(g)));

    auto getter_sig = self_only;
    auto text_sig = vt::signature({vt::arg("self"), vt::arg("val").typed("str")});
    auto flag_sig = vt::signature({vt::arg("self"), vt::arg("val").typed("bool")});
    auto value_sig = vt::signature({vt::arg("self"), vt::arg("val")});
    py::object property = vt::lookup_global(g, VT_ID("property"));
    for (std::size_t i = 0; i < std::size(kProperties); ++i) {
        const Request &r = kProperties[i];
        std::string qualname = std::string("TelegramBot.") + r.name;
        py::object name = vt::check(PyUnicode_InternFromString(r.name));
        const vt::SignaturePtr &setter_sig = r.setter == Setter::Text   ? text_sig
                                             : r.setter == Setter::Flag ? flag_sig
                                                                        : value_sig;
        py::object fget =
            vt::make_function(g, qualname.c_str(), getter_sig, kAccessors[i].get, nullptr, name);
        py::object fset =
            vt::make_function(g, qualname.c_str(), setter_sig, kAccessors[i].set, nullptr, name);
        cls.attr(r.name, property(fget, fset));
    }
    cls.attr("requests", property(vt::make_function(g, "TelegramBot.requests", getter_sig, requests)));

    cls.method("send_message",
               vt::signature({vt::arg("self"), vt::arg("msg").ann("str"),
                              vt::arg("chat_id").ann("int").def(py::object(g["TELEGRAM_CHAT_ID"]))}),
               send_message)
        .method("close", self_only, close)
        .method("get_updates", self_only, get_updates)
        .method("get_chat_id", self_only, get_chat_id);
    return cls.build();
}

}  // namespace bot
