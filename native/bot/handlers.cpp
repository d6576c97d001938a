// The chat command handlers: module-level functions handler(update, context)
// that write the operator's request on the shared client and acknowledge.
#include "bot.h"
#include "texts.h"

namespace bot {

namespace {

// Whether int() must refuse the word: an exact ASCII str holding a character
// that no base-10 literal has. Of ASCII, int() accepts only digits, a sign,
// underscores and the whitespace " \t\n\v\f\r".
bool never_an_int(PyObject *word) {
    if (!PyUnicode_CheckExact(word) || !PyUnicode_IS_ASCII(word)) return false;
    const auto *text = static_cast<const unsigned char *>(PyUnicode_DATA(word));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(word); i < n; ++i) {
        const unsigned char ch = text[i];
        const bool allowed = (ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '_' ||
                             ch == ' ' || (ch >= '\t' && ch <= '\r');
        if (!allowed) return true;
    }
    return false;
}

// int(word), or an empty object when int() refuses the word with ValueError.
// A word that is surely refused (a usage mistake) is answered without
// making the error, which newer interpreters build in full.
py::object to_count(py::handle word) {
    if (never_an_int(word.ptr())) return py::object();
    PyObject *count = PyNumber_Long(word.ptr());
    if (count) return py::reinterpret_steal<py::object>(count);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

void echo(vt::Call &c, py::handle update, py::handle context) {
    Command cmd(c, update, context);
    if (!cmd.admitted()) return;
    // Edited messages and channel posts pass the text filter without a message.
    py::object message = VT_ATTR(update, "message");
    if (message.is_none()) return;
    py::object text = VT_ATTR(message, "text");
    if (text.is_none()) return;
    cmd.reply(vt::concat({VT_ID("[ECHO] "), text}));
}

// Every command handler runs its body through this one gate: only the
// configured chat is served, and an edited command is answered, never
// carried out.
template <void (*body)(Command &)>
void command(vt::Call &c, py::handle update, py::handle context) {
    Command cmd(c, update, context);
    if (!cmd.admitted()) return;
    if (cmd.edited()) return cmd.reply_stamped({VT_ID(kEditedRefused)});
    body(cmd);
}

// A command without words: its attribute set (to True, or to the text given),
// the request queued and acknowledged.
struct Plain {
    const char *attr, *text, *request, *answer;
};
constexpr Plain kStop{"velmor_trader_status", "Terminated", "stop",
                      " Terminating Velmor-Trader..."};
constexpr Plain kBalance{"get_balance", nullptr, "balance", " Fetching balance..."};
constexpr Plain kPositions{"get_positions", nullptr, "positions", " Fetching positions..."};
constexpr Plain kCancelOrders{"cancel_orders", nullptr, "cancel_orders",
                              " Canceling all active orders..."};

template <const Plain &r>
void plain(Command &cmd) {
    VT_SET_ATTR(cmd.client(), r.attr, r.text ? VT_ID(r.text) : Py_True);
    // Words the command does not take go with the request, so that the
    // engine can tell "/cancel_orders FUTU" from "/cancel_orders".
    py::object args = cmd.args();
    if (vt::size(args) > 0)
        cmd.queue_request(VT_ID(r.request), {{VT_ID("words"), args}});
    else
        cmd.queue_request(VT_ID(r.request), {});
    cmd.reply_stamped({VT_ID(r.answer)});
}

// /orders [-a] [n]: acknowledges first, then checks the words.
void orders(Command &cmd) {
    py::object args = cmd.args();
    cmd.reply_stamped({VT_ID(" "), vt::str_of(args), VT_ID("...")});
    const Py_ssize_t n = vt::size(args);
    if (n > 2) return cmd.reply(VT_ID(kOrdersUsage));
    // At most one "-a" and one count, in either order; "-a -a" gives no count.
    bool all = false;
    py::object word;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object next = vt::item(args, i);
        const bool flag = vt::equal(next, VT_ID("-a"));
        if (flag ? all : bool(word)) return cmd.reply(VT_ID(kOrdersUsage));
        if (flag)
            all = true;
        else
            word = std::move(next);
    }
    py::object given = word ? to_count(word) : py::object();
    if (word && !given) return cmd.reply(VT_ID(kOrdersUsage));
    if (all) VT_SET_ATTR(cmd.client(), "active_orders", Py_True);
    if (given) VT_SET_ATTR(cmd.client(), "num_orders_displayed", given);
    VT_SET_ATTR(cmd.client(), "get_orders", Py_True);
    // The request is what the answer below reports, earlier values included:
    // context.bot.active_orders, then context.bot.num_orders_displayed.
    py::object active = VT_ATTR(cmd.client(), "active_orders");
    py::object count = VT_ATTR(cmd.client(), "num_orders_displayed");
    cmd.queue_request(VT_ID("orders"),
                      {{VT_ID("active_orders"), active}, {VT_ID("num_orders_displayed"), count}});
    cmd.reply_stamped({VT_ID(" Fetching orders (active_orders="), vt::str_of(active),
                       VT_ID(", num_orders_displayed="), vt::str_of(count), VT_ID(")...")});
}

// /deals [n]
void deals(Command &cmd) {
    py::object args = cmd.args();
    const Py_ssize_t n = vt::size(args);
    if (n > 1) return cmd.reply(VT_ID(kDealsUsage));
    if (n == 1) {
        py::object count = to_count(vt::item(args, 0));
        if (!count) return cmd.reply(VT_ID(kDealsUsage));
        VT_SET_ATTR(cmd.client(), "num_deals_displayed", count);
    }
    VT_SET_ATTR(cmd.client(), "get_deals", Py_True);
    py::object count = VT_ATTR(cmd.client(), "num_deals_displayed");
    cmd.queue_request(VT_ID("deals"), {{VT_ID("num_deals_displayed"), count}});
    cmd.reply_stamped(
        {VT_ID(" Fetching deals (num_deals_displayed="), vt::str_of(count), VT_ID(")...")});
}

// /cancel_order <order_id> <gateway_name>
void cancel_order(Command &cmd) {
    py::object args = cmd.args();
    if (vt::size(args) != 2) return cmd.reply(VT_ID(kCancelOrderUsage));
    py::object order_id = vt::str_of(vt::item(args, 0)), gateway = vt::str_of(vt::item(args, 1));
    VT_SET_ATTR(cmd.client(), "cancel_order_id", order_id);
    VT_SET_ATTR(cmd.client(), "gateway_name", gateway);
    VT_SET_ATTR(cmd.client(), "cancel_order", Py_True);
    cmd.queue_request(VT_ID("cancel_order"),
                      {{VT_ID("cancel_order_id"), order_id}, {VT_ID("gateway_name"), gateway}});
    cmd.reply_stamped({VT_ID(" Canceling order: order_id="), order_id, VT_ID(",gateway_name="),
                       gateway, VT_ID("...")});
}

// Splitting at every comma gives exactly eight fields.
bool has_eight_fields(py::handle word) {
    if (PyUnicode_Check(word.ptr())) {
        Py_ssize_t commas = PyUnicode_Count(word.ptr(), VT_ID(",").ptr(), 0, PY_SSIZE_T_MAX);
        if (commas < 0) throw py::error_already_set();
        return commas == 7;
    }
    return vt::size(word.attr(VT_ID("split"))(VT_ID(","))) == 8;
}

// /send_order <order string>
void send_order(Command &cmd) {
    py::object args = cmd.args();
    py::object word;
    if (vt::size(args) == 1) word = vt::item(args, 0);
    if (!word || !has_eight_fields(word)) return cmd.reply(VT_ID(kSendOrderUsage));
    VT_SET_ATTR(cmd.client(), "order_string", word);
    VT_SET_ATTR(cmd.client(), "send_order", Py_True);
    cmd.queue_request(VT_ID("send_order"), {{VT_ID("order_string"), word}});
    cmd.reply_stamped({VT_ID(" Send order ("), vt::str_of(args), VT_ID(")...")});
}

// /close_positions [gateway_name]
void close_positions(Command &cmd) {
    py::object args = cmd.args();
    const Py_ssize_t n = vt::size(args);
    if (n > 1) return cmd.reply(VT_ID(kClosePositionsUsage));
    // The queued request names the gateway this command gave, None for all.
    py::object gateway = py::none();
    if (n == 1) {
        gateway = vt::item(args, 0);
        VT_SET_ATTR(cmd.client(), "close_positions_gateway_name", gateway);
    }
    VT_SET_ATTR(cmd.client(), "close_positions", Py_True);
    cmd.queue_request(VT_ID("close_positions"), {{VT_ID("close_positions_gateway_name"), gateway}});
    cmd.reply_stamped({VT_ID(" Closing positions...")});
}

// The chat commands, in the order the bot registers them.
struct Handler {
    const char *name;
    vt::Impl impl;
    std::size_t parameters;  // the body's, checked against the signature
    const char *usage;
};

template <auto F>
constexpr Handler handler(const char *name, const char *usage) {
    return {name, vt::body<F>, vt::parameters_of<F>(), usage};
}

constexpr Handler kCommands[] = {
    handler<command<plain<kStop>>>("stop", kStopUsage),
    handler<command<plain<kBalance>>>("balance", kBalanceUsage),
    handler<command<plain<kPositions>>>("positions", kPositionsUsage),
    handler<command<orders>>("orders", kOrdersUsage),
    handler<command<deals>>("deals", kDealsUsage),
    handler<command<cancel_order>>("cancel_order", kCancelOrderUsage),
    handler<command<plain<kCancelOrders>>>("cancel_orders", kCancelOrdersUsage),
    handler<command<send_order>>("send_order", kSendOrderUsage),
    handler<command<close_positions>>("close_positions", kClosePositionsUsage),
};

}  // namespace

// Each command is handled by the module function of the same name, looked
// up when the bot is built.
py::list command_handlers(vt::Call &c) {
    py::object command_handler = VT_GLOBAL(c, "CommandHandler");
    py::list handlers;
    for (const Handler &h : kCommands) {
        py::str name(h.name);
        handlers.append(vt::call(command_handler, {name, c.global(name)}));
    }
    return handlers;
}

void bind_handlers(vt::Members &m) {
    auto sig = vt::signature({vt::arg("update").ann("Update"),
                              vt::arg("context").ann("CallbackContext")});
    m.add<echo>("echo", sig, kEchoUsage);
    for (const Handler &h : kCommands) {
        vt::check_parameters(h.name, sig, h.parameters);
        m.add(h.name, sig, h.impl, h.usage);
    }
}

}  // namespace bot
