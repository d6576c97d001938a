// The gate of every command handler, and the replies it sends.
#include "bot.h"

#include <stdexcept>

namespace bot {

constexpr const char *kIgnored = "Ignored an update from chat %s (not the configured chat)";

bool Command::admitted() {
    py::object chat = VT_ATTR(update_, "effective_chat");
    py::object chat_id = chat.is_none() ? chat : VT_ATTR(chat, "id");
    if (!chat_id.is_none() && vt::equal(chat_id, VT_GLOBAL(call_, "TELEGRAM_CHAT_ID"))) {
        chat_id_ = std::move(chat_id);
        return true;
    }
    py::object logger = VT_GLOBAL(call_, "logger");
    PyObject *args[3] = {logger.ptr(), VT_ID(kIgnored).ptr(), chat_id.ptr()};
    vt::check(PyObject_VectorcallMethod(VT_ID("warning").ptr(), args, 3, nullptr));
    return false;
}

bool Command::edited() const { return !VT_ATTR(update_, "edited_message").is_none(); }

void Command::queue_request(
    py::handle command, std::initializer_list<std::pair<py::handle, py::handle>> arguments) const {
    py::dict values;
    for (const auto &[name, value] : arguments) vt::set_item(values, name, value);
    py::object request = py::make_tuple(command, values);
    // A client the bot did not build (a test's, another bot's) has no queue:
    // the flags alone carry the request, as they did before there was one.
    py::object queue;
    try {
        queue = VT_ATTR(client(), "velmor_trader_requests");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        return;
    }
    vt::call_method(queue, VT_ID("append"), request);
}

void Command::reply(py::handle text) const {
    send_chat_message(client(), chat_id_, text);
}

void Command::reply_stamped(std::initializer_list<py::handle> texts) const {
    py::object stamp = vt::str_of(vt::call_method(VT_GLOBAL(call_, "datetime"), VT_ID("now")));
    constexpr std::size_t kMaxTexts = 8;
    if (texts.size() > kMaxTexts) throw std::length_error("reply texts");
    py::handle parts[kMaxTexts + 3] = {VT_ID("["), stamp, VT_ID("]")};
    std::size_t n = 3;
    for (py::handle text : texts) parts[n++] = text;
    reply(vt::concat(parts, n));
}

}  // namespace bot
