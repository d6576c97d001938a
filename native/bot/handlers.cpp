#include "handlers.h"

#include "command.h"
#include "texts.h"

namespace bot {

namespace {

// int(word), or an empty object when int() refuses the word with ValueError.
py::object to_count(py::handle word) {
    PyObject *count = PyNumber_Long(word.ptr());
    if (count) return py::reinterpret_steal<py::object>(count);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

bool is_all_flag(py::handle word) {
    int same = PyObject_RichCompareBool(word.ptr(), VT_ID("-a").ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    return same != 0;
}

py::object item(py::handle sequence, Py_ssize_t i) {
    return vt::check(PySequence_GetItem(sequence.ptr(), i));
}

Py_ssize_t size(py::handle sequence) {
    Py_ssize_t n = PyObject_Size(sequence.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

py::object echo(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    // Edited messages and channel posts pass the text filter without a message.
    py::object message = VT_ATTR(cmd.update(), "message");
    if (message.is_none()) return py::none();
    py::object text = VT_ATTR(message, "text");
    if (text.is_none()) return py::none();
    cmd.reply(join({VT_ID("[ECHO] "), text}));
    return py::none();
}

py::object stop(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    BOT_WRITE(cmd, "velmor_trader_status", VT_ID("Terminated"));
    cmd.reply_stamped({VT_ID(" Terminating Velmor-Trader...")});
    return py::none();
}

py::object balance(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    BOT_WRITE(cmd, "get_balance", Py_True);
    cmd.reply_stamped({VT_ID(" Fetching balance...")});
    return py::none();
}

py::object positions(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    BOT_WRITE(cmd, "get_positions", Py_True);
    cmd.reply_stamped({VT_ID(" Fetching positions...")});
    return py::none();
}

// /orders [-a] [n]: acknowledges first, then checks the words.
py::object orders(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    py::object args = cmd.args();
    cmd.reply_stamped({VT_ID(" "), text_of(args), VT_ID("...")});
    const Py_ssize_t n = size(args);
    if (n > 2) {
        cmd.reply(VT_ID(kOrdersUsage));
        return py::none();
    }
    if (n == 2) {
        py::object first = item(args, 0), second = item(args, 1);
        const bool first_flag = is_all_flag(first), second_flag = is_all_flag(second);
        // Needs "-a" and a count; "-a -a" gives no count.
        if (first_flag == second_flag) {
            cmd.reply(VT_ID(kOrdersUsage));
            return py::none();
        }
        py::object count = to_count(first_flag ? second : first);
        if (!count) {
            cmd.reply(VT_ID(kOrdersUsage));
            return py::none();
        }
        BOT_WRITE(cmd, "active_orders", Py_True);
        BOT_WRITE(cmd, "num_orders_displayed", count);
    } else if (n == 1) {
        py::object word = item(args, 0);
        if (is_all_flag(word)) {
            BOT_WRITE(cmd, "active_orders", Py_True);
        } else {
            py::object count = to_count(word);
            if (!count) {
                cmd.reply(VT_ID(kOrdersUsage));
                return py::none();
            }
            BOT_WRITE(cmd, "num_orders_displayed", count);
        }
    }
    BOT_WRITE(cmd, "get_orders", Py_True);
    py::object client = cmd.client();
    cmd.reply_stamped({VT_ID(" Fetching orders (active_orders="),
                       text_of(VT_ATTR(client, "active_orders")),
                       VT_ID(", num_orders_displayed="),
                       text_of(VT_ATTR(client, "num_orders_displayed")), VT_ID(")...")});
    return py::none();
}

// /deals [n]
py::object deals(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    py::object args = cmd.args();
    const Py_ssize_t n = size(args);
    if (n > 1) {
        cmd.reply(VT_ID(kDealsUsage));
        return py::none();
    }
    if (n == 1) {
        py::object count = to_count(item(args, 0));
        if (!count) {
            cmd.reply(VT_ID(kDealsUsage));
            return py::none();
        }
        BOT_WRITE(cmd, "num_deals_displayed", count);
    }
    BOT_WRITE(cmd, "get_deals", Py_True);
    cmd.reply_stamped({VT_ID(" Fetching deals (num_deals_displayed="),
                       text_of(VT_ATTR(cmd.client(), "num_deals_displayed")),
                       VT_ID(")...")});
    return py::none();
}

py::object cancel_orders(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    BOT_WRITE(cmd, "cancel_orders", Py_True);
    cmd.reply_stamped({VT_ID(" Canceling all active orders...")});
    return py::none();
}

// /cancel_order <order_id> <gateway_name>
py::object cancel_order(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    py::object args = cmd.args();
    if (size(args) != 2) {
        cmd.reply(VT_ID(kCancelOrderUsage));
        return py::none();
    }
    py::object order_id = text_of(item(args, 0)), gateway = text_of(item(args, 1));
    BOT_WRITE(cmd, "cancel_order_id", order_id);
    BOT_WRITE(cmd, "gateway_name", gateway);
    BOT_WRITE(cmd, "cancel_order", Py_True);
    cmd.reply_stamped({VT_ID(" Canceling order: order_id="), order_id, VT_ID(",gateway_name="),
                       gateway, VT_ID("...")});
    return py::none();
}

// Splitting at every comma gives exactly eight fields.
bool has_eight_fields(py::handle word) {
    if (PyUnicode_Check(word.ptr())) {
        Py_ssize_t commas = PyUnicode_Count(word.ptr(), VT_ID(",").ptr(), 0, PY_SSIZE_T_MAX);
        if (commas < 0) throw py::error_already_set();
        return commas == 7;
    }
    return size(word.attr(VT_ID("split"))(VT_ID(","))) == 8;
}

// /send_order <order string>
py::object send_order(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    py::object args = cmd.args();
    py::object word;
    if (size(args) == 1) word = item(args, 0);
    if (!word || !has_eight_fields(word)) {
        cmd.reply(VT_ID(kSendOrderUsage));
        return py::none();
    }
    BOT_WRITE(cmd, "order_string", word);
    BOT_WRITE(cmd, "send_order", Py_True);
    cmd.reply_stamped({VT_ID(" Send order ("), text_of(args), VT_ID(")...")});
    return py::none();
}

// /close_positions [gateway_name]
py::object close_positions(vt::Call &call) {
    Command cmd(call);
    if (!cmd.admitted()) return py::none();
    py::object args = cmd.args();
    const Py_ssize_t n = size(args);
    if (n > 1) {
        cmd.reply(VT_ID(kClosePositionsUsage));
        return py::none();
    }
    if (n == 1) BOT_WRITE(cmd, "close_positions_gateway_name", item(args, 0));
    BOT_WRITE(cmd, "close_positions", Py_True);
    cmd.reply_stamped({VT_ID(" Closing positions...")});
    return py::none();
}

struct Handler {
    const char *name;
    vt::Impl impl;
    const char *usage;
};

constexpr Handler kHandlers[] = {
    {"echo", echo, kEchoUsage},
    {"stop", stop, kStopUsage},
    {"balance", balance, kBalanceUsage},
    {"positions", positions, kPositionsUsage},
    {"orders", orders, kOrdersUsage},
    {"deals", deals, kDealsUsage},
    {"cancel_orders", cancel_orders, kCancelOrdersUsage},
    {"cancel_order", cancel_order, kCancelOrderUsage},
    {"send_order", send_order, kSendOrderUsage},
    {"close_positions", close_positions, kClosePositionsUsage},
};

}  // namespace

void define_handlers(py::dict globals) {
    auto sig = vt::signature({vt::arg("update").ann("Update"),
                              vt::arg("context").ann("CallbackContext")});
    for (const Handler &h : kHandlers) vt::def(globals, h.name, sig, h.impl, h.usage);
}

}  // namespace bot
