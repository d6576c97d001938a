// The chat bot's shared parts: what every command handler does around its
// own logic (admit only the configured chat, refuse edited commands, reach
// the shared client, queue the request for the engine, stamp and send
// replies), the members each file binds, and the updaters stopped at exit.
#pragma once

#include <initializer_list>
#include <utility>

#include <vt.h>

namespace bot {
namespace py = pybind11;

// One handler call: handler(update, context).
class Command {
public:
    Command(vt::Call &call, py::handle update, py::handle context)
        : call_(call), update_(update), context_(context) {}

    // True when the update comes from the chat TELEGRAM_CHAT_ID names;
    // otherwise logs the update once and returns false (nothing is answered).
    bool admitted();
    // True for an edited message. The chat library hands edits to command
    // handlers too; carrying one out would run a command the operator has
    // already sent a second time.
    bool edited() const;

    // context.bot: the client that holds the request attributes.
    py::object client() const { return VT_ATTR(context_, "bot"); }
    // context.args: the words after the command.
    py::object args() const { return VT_ATTR(context_, "args"); }

    // Appends (command, {name: value, ...}) to the client's request queue,
    // which the engine reads beside the flags: a flag holds one pending
    // request of a kind, the queue holds each accepted one in order.
    void queue_request(py::handle command,
                       std::initializer_list<std::pair<py::handle, py::handle>> arguments) const;

    // context.bot.send_message(chat_id=update.effective_chat.id, text=text);
    // only for an admitted update.
    void reply(py::handle text) const;
    // reply("[" + str(datetime.now()) + "]" + the texts joined)
    void reply_stamped(std::initializer_list<py::handle> texts) const;

private:
    vt::Call &call_;
    py::handle update_;
    py::handle context_;
    py::object chat_id_;  // update.effective_chat.id, once admitted
};

// client.send_message(chat_id=chat_id, text=text), result discarded.
inline void send_chat_message(py::handle client, py::handle chat_id, py::handle text) {
    static vt::LazyObject kwnames;
    py::handle names = kwnames.get([] { return py::make_tuple(VT_ID("chat_id"), VT_ID("text")); });
    PyObject *args[3] = {client.ptr(), chat_id.ptr(), text.ptr()};
    vt::check(PyObject_VectorcallMethod(VT_ID("send_message").ptr(), args, 1, names.ptr()));
}

// The command handlers (handlers.cpp) and the TelegramBot methods
// (telegram_bot.cpp); send_message's default chat is the configured one.
void bind_handlers(vt::Members &m);
void bind_telegram_bot(vt::Members &m, py::dict globals);

// CommandHandler(name, <module function name>) for every chat command, in
// the order the bot registers them.
py::list command_handlers(vt::Call &c);

// TelegramBot's request properties and `requests`, in their order.
void define_properties(vt::ClassBuilder &cls, py::dict globals);

// A new list of updaters that are stopped at shutdown if still running,
// its exit hook registered with threading (see shutdown.cpp).
py::object updaters_stopped_at_exit(py::dict globals);

// Puts `updater` on that list, dropping those that have been stopped since
// (close() stops them), so that a stopped updater is not kept alive.
void stop_at_exit(py::handle updaters, py::handle updater);

}  // namespace bot
