// `replace(record, **changes)` for the framework's frozen records.
#pragma once

#include <initializer_list>

#include "celbridge.h"

namespace cel {

// One keyword of the call: an interned field name and its new value.
struct Change {
    py::handle name;
    py::handle value;
};

// What one call site learned about the records it replaces (see replace.cpp):
// one site for each set of changed names, always passed in the same order (a
// plan trusts them): the order book's two sides.
class ReplaceSite;
extern ReplaceSite ask_replace, bid_replace;

// fn(record, **changes), where fn is the module's `replace` of the moment.
// When that is dataclasses.replace, the keywords it would pass on to the
// record's class are gathered here instead of by its Python-level loop:
// the same fields read in the same order and the same class call, so the
// same record and the same errors. Anything it would treat specially
// (class variables, init=False fields, InitVars, not a dataclass) is left
// to dataclasses.replace itself.
py::object replace(ReplaceSite &site, py::handle fn, py::handle record,
                   std::initializer_list<Change> changes);

}  // namespace cel
