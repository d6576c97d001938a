// Text values that would be read as columns of the statement's table.
#include "db.h"

namespace vtdb {

// Which names are in scope is asked of SQLite itself, on the statement's
// own table and select list, so that it holds for any schema, however the
// file was made or changed: the query
//     SELECT <columns> FROM <table> WHERE `<text>` ORDER BY 0
// can never compile (there is no result column 0), so nothing runs and no
// statement shows on the connection; SQLite gives up on the backquoted name
// (an identifier only, never a text) if no column of that name is in scope,
// and on the ORDER BY term otherwise.  Any other failure (no such table, a
// select list that does not compile) leaves the text single-quoted, which
// reads as the text in any statement, and the statement itself reports it.
bool TableScope::reads_as_column(py::handle text) {
    py::object probe = vt::concat({VT_ID("SELECT "), columns, VT_ID(" FROM "), table,
                                   VT_ID(" WHERE "), quoted(text, VT_ID("`"), VT_ID("``")),
                                   VT_ID(" ORDER BY 0")});
    py::object conn = self.attr(VT_ID("conn"));
    auto ran = py::reinterpret_steal<py::object>(
        PyObject_CallMethodOneArg(conn.ptr(), VT_ID("execute").ptr(), probe.ptr()));
    if (ran) return true;  // a table text that cut the query short: single quotes are safe
    py::error_already_set failed;
    if (!failed.matches(c.global(VT_ID("sqlite3")).attr(VT_ID("OperationalError")))) throw failed;
    py::object message = vt::str_of(failed.value());
    Py_ssize_t unknown = PyUnicode_Tailmatch(message.ptr(), VT_ID("no such column").ptr(), 0,
                                             PY_SSIZE_T_MAX, -1);
    if (unknown < 0) throw py::error_already_set();
    return unknown == 0;
}

py::object TableScope::value(py::handle value, py::handle written) {
    if (!PyUnicode_Check(value.ptr())) return py::reinterpret_borrow<py::object>(written);
    py::object text = vt::format_of(value);
    return reads_as_column(text) ? quoted(text, VT_ID("'"), VT_ID("''"))
                                 : py::reinterpret_borrow<py::object>(written);
}

py::object TableScope::where(py::handle kwargs) {
    // The clause first: it checks every value before anything is asked.
    py::object method = VT_ATTR(self, "_parse_sql_where_condition");
    py::object clause = vt::check(PyObject_Call(method.ptr(), py::tuple().ptr(), kwargs.ptr()));
    std::vector<bool> as_text;
    bool any = false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        bool column = !is_condition_str(key) && PyUnicode_Check(value) &&
                      reads_as_column(vt::format_of(value));
        as_text.push_back(column);
        any = any || column;
    }
    return any ? where_text(self, kwargs, &as_text) : clause;
}

}  // namespace vtdb
