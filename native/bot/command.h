// What every chat command handler does around its own logic: admit only the
// configured chat, refuse edited commands, reach the shared client, queue the
// request for the engine, stamp and send replies.
#pragma once

#include <initializer_list>
#include <utility>

#include <vt.h>

namespace bot {
namespace py = pybind11;

// One handler call: handler(update, context).
class Command {
public:
    explicit Command(vt::Call &call) : call_(call), update_(call[0]), context_(call[1]) {}

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
    py::handle update() const { return update_; }

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

// context.bot.<name> = value, through a site of its own.
#define BOT_WRITE(cmd, name, value) VT_SET_ATTR((cmd).client(), name, (value))

// client.send_message(chat_id=chat_id, text=text), result discarded.
void send_message(py::handle client, py::handle chat_id, py::handle text);

// The texts concatenated.
py::object join(std::initializer_list<py::handle> texts);

// str(value)
py::object text_of(py::handle value);

}  // namespace bot
