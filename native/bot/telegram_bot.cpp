// TelegramBot: the engine's handle on the chat bot. It builds the client and
// the updater, registers the handlers, starts polling, and exposes the
// request attributes of the client as properties.
#include "bot.h"

#include <utility>

namespace bot {

namespace {

// A request property: the client attribute it reads and writes, and the
// type its setter converts a value to (any value where there is none).
struct Request {
    const char *name;
    const char *accepts;
};

// In the order the properties are defined.
constexpr Request kProperties[] = {
    {"velmor_trader_status", "str"},
    {"get_balance", "bool"},
    {"get_positions", "bool"},
    {"get_orders", "bool"},
    {"num_orders_displayed", nullptr},
    {"active_orders", "bool"},
    {"get_deals", "bool"},
    {"num_deals_displayed", nullptr},
    {"cancel_order", "bool"},
    {"cancel_order_id", nullptr},
    {"gateway_name", nullptr},
    {"cancel_orders", "bool"},
    {"send_order", "bool"},
    {"order_string", nullptr},
    {"close_positions", "bool"},
    {"close_positions_gateway_name", nullptr},
};

// self.updater.bot
py::object client_of(py::handle self) { return VT_ATTR(VT_ATTR(self, "updater"), "bot"); }

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
    for (const auto &[name, value] : initial) vt::set_attr(client_of(self), name, value);
}

void init(vt::Call &c, py::handle self, py::handle token) {
    py::object base_url = VT_GLOBAL(c, "TELEGRAM_BASE_URL");
    py::object client_class = VT_GLOBAL(c, "CustomedExtBot");
    py::object client = base_url.is_none()
                            ? client_class(py::arg("token") = token)
                            : client_class(py::arg("token") = token, py::arg("base_url") = base_url);
    vt::set_attr(self, VT_ID("updater"),
                 VT_GLOBAL(c, "Updater")(py::arg("use_context") = true, py::arg("bot") = client));
    reset_requests(self);
    // The request queue beside the flags: (command, arguments) of every accepted
    // command, in the order they came. A deque, so that the dispatcher's thread
    // appends and the engine's thread pops without a lock.
    py::object deque = py::module_::import("collections").attr("deque");
    vt::set_attr(client_of(self), VT_ID("velmor_trader_requests"), deque());
    py::object dispatcher = self.attr(VT_ID("updater")).attr(VT_ID("dispatcher"));

    py::list handlers = command_handlers(c);
    // Filters.text & ~Filters.command, read left to right.
    py::object filters = VT_GLOBAL(c, "Filters");
    py::object text = vt::get_attr(filters, VT_ID("text"));
    py::object not_command = ~vt::get_attr(filters, VT_ID("command"));
    py::object text_only = text & not_command;
    py::object echo_handler = VT_GLOBAL(c, "MessageHandler")(text_only, VT_GLOBAL(c, "echo"));

    py::object add_handler = dispatcher.attr(VT_ID("add_handler"));
    add_handler(echo_handler);
    for (py::handle handler : handlers) add_handler(handler);
    py::object updater = self.attr(VT_ID("updater"));
    stop_at_exit(c.closure(), updater);
    updater.attr(VT_ID("start_polling"))();
}

// One getter and one setter body per property, each with its own
// attribute site on the client.
template <std::size_t I>
py::object get_request(py::handle self) { return VT_ATTR(client_of(self), kProperties[I].name); }

template <std::size_t I>
void set_request(py::handle self, py::handle val) {
    VT_SET_ATTR(client_of(self), kProperties[I].name, val);
}

py::object requests(py::handle self) { return VT_ATTR(client_of(self), "velmor_trader_requests"); }

template <std::size_t... I>
void define_each(vt::ClassBuilder &cls, py::dict g, std::index_sequence<I...>) {
    auto getter_sig = vt::signature({vt::arg("self")});
    py::object property = vt::lookup_global(g, VT_ID("property"));
    auto define = [&](const Request &r, vt::Impl get, std::size_t get_takes, vt::Impl set,
                      std::size_t set_takes) {
        auto setter_sig = vt::signature(
            {vt::arg("self"), r.accepts ? vt::arg("val").typed(r.accepts) : vt::arg("val")});
        vt::check_parameters(r.name, getter_sig, get_takes);
        vt::check_parameters(r.name, setter_sig, set_takes);
        cls.attr(r.name, property(cls.function(r.name, getter_sig, get),
                                  cls.function(r.name, setter_sig, set)));
    };
    (define(kProperties[I], vt::body<get_request<I>>, vt::parameters_of<get_request<I>>(),
            vt::body<set_request<I>>, vt::parameters_of<set_request<I>>()),
     ...);
    cls.attr("requests", property(cls.function(
                             "requests", getter_sig, vt::checked_body<requests>("requests", getter_sig))));
}

void send_message(py::handle self, py::handle msg, py::handle chat_id) {
    py::object chat = vt::convert(vt::Conv::Int, chat_id, "chat_id", false);
    py::object text = vt::convert(vt::Conv::Str, msg, "msg", false);
    send_chat_message(client_of(self), chat, text);
}

void close(py::handle self) { VT_ATTR(VT_ATTR(self, "updater"), "stop")(); }

// Stores the pending updates in self.updates and prints the oldest.
void get_updates(vt::Call &c, py::handle self) {
    vt::set_attr(self, VT_ID("updates"), VT_ATTR(client_of(self), "get_updates")());
    // print is looked up before its argument is read, as Python calls it.
    py::object print = VT_GLOBAL(c, "print");
    vt::call(print, {vt::get_item(VT_ATTR(self, "updates"), py::int_(0))});
}

// The id of the user who sent the oldest pending update.
py::object get_chat_id(py::handle self) {
    vt::call_method(self, VT_ID("get_updates"));
    py::object first = vt::get_item(VT_ATTR(self, "updates"), py::int_(0));
    return VT_ATTR(VT_ATTR(VT_ATTR(first, "message"), "from_user"), "id");
}

}  // namespace

void define_properties(vt::ClassBuilder &cls, py::dict globals) {
    define_each(cls, globals, std::make_index_sequence<std::size(kProperties)>());
}

void bind_telegram_bot(vt::Members &m, py::dict g) {
    m.add<init>("__init__", {vt::arg("self"), vt::arg("token").typed("str")});
    m.add<send_message>("send_message",
                        {vt::arg("self"), vt::arg("msg").ann("str"),
                         vt::arg("chat_id").ann("int").def(py::object(g["TELEGRAM_CHAT_ID"]))});
    m.add<close>("close", {vt::arg("self")});
    m.add<get_updates>("get_updates", {vt::arg("self")});
    m.add<get_chat_id>("get_chat_id", {vt::arg("self")});
}

}  // namespace bot
