// `replace(record, **changes)` for the framework's frozen records.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "celbridge.h"

namespace cel {

// What one call site learned about the records it replaces (see replace.cpp):
// one site for each set of changed names, always passed in the same order (a
// plan trusts them): the order book's two sides, the quote's fields.
class ReplaceSite;
extern ReplaceSite ask_replace, bid_replace;
constexpr std::size_t kQuoteFields = 7;
ReplaceSite &quote_replace(std::size_t field);

// fn(record, **changes), where fn is the module's `replace` of the moment,
// `args` the record and the new values, `changes` the interned field names
// (as vt::call takes them). When that is dataclasses.replace, the keywords
// it would pass on to the record's class are gathered here instead of by its
// Python-level loop: the same fields read in the same order and the same
// class call, so the same record and the same errors. Anything it would
// treat specially (class variables, init=False fields, InitVars, not a
// dataclass) is left to dataclasses.replace itself.
py::object replace(ReplaceSite &site, py::handle fn, std::initializer_list<py::handle> args,
                   std::initializer_list<py::handle> changes);

}  // namespace cel
