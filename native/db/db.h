// The SQLite store: one DB class over the framework's database file.
// What the module's files share: the members each binds and small helpers.
#pragma once

#include <vector>

#include <vt.h>

namespace vtdb {
namespace py = pybind11;

void bind_connection(vt::Members &m);
void bind_render(vt::Members &m);
void bind_schema(vt::Members &m);
void bind_records(vt::Members &m);

// `self.execute(sql)`: every statement goes through the (overridable) method.
inline void run(py::handle self, py::handle sql) { vt::call_method(self, VT_ID("execute"), sql); }

// self.commit(); if the commit fails (the file locked by another connection
// past the busy timeout), the transaction is rolled back, so that the failed
// statement is not committed later by this connection's next commit, and the
// commit's error propagates.
void commit_or_roll_back(py::handle self);

// The text between two quotes, each quote inside it doubled so that the
// literal ends where the value does.
inline py::object quoted(py::handle text, py::handle quote, py::handle doubled_quote) {
    py::object doubled =
        vt::check(PyUnicode_Replace(text.ptr(), quote.ptr(), doubled_quote.ptr(), -1));
    return vt::concat({quote, doubled, quote});
}

// The key of a where clause's raw SQL fragment.
inline bool is_condition_str(PyObject *key) {
    return key == VT_ID("condition_str").ptr() ||
           PyUnicode_CompareWithASCIIString(key, "condition_str") == 0;
}

// "WHERE k1=v1 AND k2=v2 " in keyword order, each value written by
// self._parse_sql_value; where `as_text` is given, the values at the
// positions it marks are written as single-quoted texts instead.
py::object where_text(py::handle self, py::handle kwargs,
                      const std::vector<bool> *as_text = nullptr);

// What one statement on `table` can see: SQLite reads a double-quoted word
// as an identifier whenever a column of that name is in scope (in any
// letter case, the rowid aliases included) and as a text only otherwise, so
// a text value that spells such a name would be read as that column. The
// values of the statement are written through this scope, which writes
// those texts as single-quoted literals and every other value as the
// record operations always have.
struct TableScope {
    vt::Call &c;
    py::handle self, table;
    // The statement's select list, whose aliases are in scope of the WHERE
    // clause too; "1" where there are none.
    py::handle columns;

    // `written` (what self._parse_sql_value(value) gave), or the text
    // single-quoted. Asks SQLite: call it only once every value of the
    // statement is rendered, so that a refused value fails before any SQL.
    py::object value(py::handle value, py::handle written);
    // self._parse_sql_where_condition(**kwargs), or, when one of its texts
    // would be read as a column, the clause as this module writes it with
    // those texts single-quoted (an override cannot be told which values to
    // write otherwise).
    py::object where(py::handle kwargs);
    bool reads_as_column(py::handle text);
};

}  // namespace vtdb
