// Generic record operations: one statement each, composed as SQL text.
#include "db.h"

namespace vtdb {

static void delete_table(py::handle self, py::handle table_name) {
    run(self, vt::concat({VT_ID("DROP TABLE "), table_name}));
}

static py::object select_records(vt::Call &c, py::handle self, py::handle table_name,
                                 py::handle columns, py::handle kwargs) {
    py::object col_sql = columns.is_none()
                             ? py::reinterpret_borrow<py::object>(VT_ID("*"))
                             : vt::check(PyUnicode_Join(VT_ID(",").ptr(), columns.ptr()));
    TableScope scope{c, self, table_name, columns.is_none() ? VT_ID("1") : col_sql};
    py::object sql = vt::concat({VT_ID("SELECT "), col_sql, VT_ID(" FROM "), table_name, VT_ID(" "),
                                 scope.where(kwargs)});
    // The statement, its commit and the fetch under one hold of the lock: a
    // stepped SELECT keeps the file's read lock until its rows are fetched,
    // and a write of another DB slipped in between would wait for it while
    // holding the module lock, then fail as "database is locked".
    return vt::with_lock(VT_GLOBAL(c, "lock"), [&] {
        py::object cursor = VT_ATTR(self, "cursor");
        vt::call_method(cursor, VT_ID("execute"), sql);
        commit_or_roll_back(self);
        py::object records = vt::call_method(cursor, VT_ID("fetchall"));
        py::list names;
        vt::for_each(VT_ATTR(cursor, "description"),
                     [&](py::handle entry) { names.append(vt::get_item(entry, py::int_(0))); });
        return vt::call(VT_ATTR(c.global(VT_ID("pd")), "DataFrame"), {records, names},
                        {VT_ID("columns")});
    });
}

static void update_records(vt::Call &c, py::handle self, py::handle table_name,
                           py::handle columns, py::handle kwargs) {
    const Py_ssize_t n = PyDict_GET_SIZE(columns.ptr());
    vt::assert_that(n > 0, "At least one column needs to be updated!");
    // The statement's parts, made at their final size: "UPDATE <table> SET ",
    // then for each column its name, "=", its value, " " and (but after the
    // last) ",", then the filter. (With assertions off, no column at all.)
    const Py_ssize_t commas = n > 0 ? n - 1 : 0;
    py::list parts(static_cast<std::size_t>(1 + 4 * n + commas + 1));
    std::size_t at = 0;
    const auto put = [&](py::handle part) { parts[at++] = part; };
    put(vt::concat({VT_ID("UPDATE "), table_name, VT_ID(" SET ")}));
    // A snapshot of the items: rendering runs Python code.
    py::list items = vt::check(PyDict_Items(columns.ptr()));
    // Every value, then the filter, rendered (and its type checked) before
    // SQLite is asked anything about the texts: the statement is laid out
    // with the values as rendered, and a text that SQLite would read as a
    // column is put in single quotes afterwards, in place.
    for (Py_ssize_t idx = 0; idx < n; ++idx) {
        py::handle item = PyList_GET_ITEM(items.ptr(), idx);
        put(PyTuple_GET_ITEM(item.ptr(), 0));
        put(VT_ID("="));
        put(vt::call_method(self, VT_ID("_parse_sql_value"), PyTuple_GET_ITEM(item.ptr(), 1)));
        put(VT_ID(" "));
        if (idx != n - 1) put(VT_ID(","));
    }
    TableScope scope{c, self, table_name, VT_ID("1")};
    put(scope.where(kwargs));
    for (Py_ssize_t idx = 0; idx < n; ++idx) {
        py::handle value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), idx), 1);
        const auto value_at = static_cast<std::size_t>(3 + 5 * idx);  // after the head, name and "="
        py::handle written = PyList_GET_ITEM(parts.ptr(), value_at);
        py::object scoped = scope.value(value, written);
        if (!scoped.is(written)) parts[value_at] = std::move(scoped);
    }
    run(self, vt::check(PyUnicode_Join(VT_ID("").ptr(), parts.ptr())));
}

static void insert_records(py::handle self, py::handle table_name, py::handle kwargs) {
    vt::assert_that(PyDict_GET_SIZE(kwargs.ptr()) > 0,
                    "Must provide columns and values when inserting!");
    // Every value is rendered, and its type checked, before anything runs.
    // No column is in scope of VALUES: a double-quoted word there is a text.
    py::list values = vt::check(PyDict_Values(kwargs.ptr()));
    py::list rendered;
    for (py::handle value : values)
        rendered.append(vt::call_method(self, VT_ID("_parse_sql_value"), value));
    py::object sql = vt::concat({VT_ID("INSERT INTO "), table_name, VT_ID(" ("),
                                 vt::check(PyUnicode_Join(VT_ID(",").ptr(), kwargs.ptr())),
                                 VT_ID(") VALUES ("),
                                 vt::check(PyUnicode_Join(VT_ID(",").ptr(), rendered.ptr())),
                                 VT_ID(")")});
    run(self, sql);
}

static void delete_records(vt::Call &c, py::handle self, py::handle table_name, py::handle kwargs) {
    TableScope scope{c, self, table_name, VT_ID("1")};
    run(self, vt::concat({VT_ID("DELETE FROM "), table_name, VT_ID(" "), scope.where(kwargs)}));
}

void bind_records(vt::Members &m) {
    m.add<delete_table>("delete_table", {vt::arg("self"), vt::arg("table_name").typed("str")});
    m.add<select_records>("select_records",
                          {vt::arg("self"), vt::arg("table_name").typed("str"),
                           vt::arg("columns").typed("List[str]").def(py::none()),
                           vt::starstar("kwargs")});
    m.add<update_records>("update_records",
                          {vt::arg("self"), vt::arg("table_name").typed("str"),
                           vt::arg("columns").typed("Dict[str, Any]"), vt::starstar("kwargs")});
    m.add<insert_records>("insert_records", {vt::arg("self"), vt::arg("table_name").typed("str"),
                                             vt::starstar("kwargs")});
    m.add<delete_records>("delete_records", {vt::arg("self"), vt::arg("table_name").typed("str"),
                                             vt::starstar("kwargs")});
}

}  // namespace vtdb
