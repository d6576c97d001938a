// Generic record operations: one statement each, composed as SQL text.
#include "db.h"

namespace vtdb {

py::object delete_table(vt::Call &c) {
    run(c[0], concat({VT_ID("DROP TABLE "), c[1]}));
    return py::none();
}

py::object select_records(vt::Call &c) {
    py::handle self = c[0], table = c[1], columns = c[2], kwargs = c[3];
    py::object col_sql = columns.is_none()
                             ? py::reinterpret_borrow<py::object>(VT_ID("*"))
                             : vt::check(PyUnicode_Join(VT_ID(",").ptr(), columns.ptr()));
    TableScope scope(c, self, table, columns.is_none() ? VT_ID("1") : col_sql);
    py::object sql = concat({VT_ID("SELECT "), col_sql, VT_ID(" FROM "), table, VT_ID(" "),
                             scope.where(kwargs)});
    // The statement, its commit and the fetch under one hold of the lock: a
    // stepped SELECT keeps the file's read lock until its rows are fetched,
    // and a write of another DB slipped in between would wait for it while
    // holding the module lock, then fail as "database is locked".
    return with_lock(c, [&] {
        py::object cursor = self.attr(VT_ID("cursor"));
        call_method(cursor, VT_ID("execute"), sql);
        commit_or_roll_back(self);
        py::object records = call_method(cursor, VT_ID("fetchall"));
        py::list names;
        for (py::handle entry : cursor.attr(VT_ID("description"))) names.append(entry[py::int_(0)]);
        py::object frame_type = c.global(VT_ID("pd")).attr(VT_ID("DataFrame"));
        return frame_type(records, py::arg("columns") = names);
    });
}

py::object update_records(vt::Call &c) {
    py::handle self = c[0], table = c[1], columns = c[2], kwargs = c[3];
    const Py_ssize_t n = PyDict_GET_SIZE(columns.ptr());
    vt::assert_that(n > 0, "At least one column needs to be updated!");
    py::list parts;
    parts.append(VT_ID("UPDATE "));
    parts.append(table);
    parts.append(VT_ID(" "));
    // A snapshot of the items: rendering runs Python code.
    py::list items = vt::check(PyDict_Items(columns.ptr()));
    TableScope scope(c, self, table, VT_ID("1"));
    for (Py_ssize_t idx = 0; idx < n; ++idx) {
        py::handle item = PyList_GET_ITEM(items.ptr(), idx);
        if (idx == 0) parts.append(VT_ID("SET "));
        parts.append(PyTuple_GET_ITEM(item.ptr(), 0));
        parts.append(VT_ID("="));
        parts.append(scope.value(PyTuple_GET_ITEM(item.ptr(), 1)));
        parts.append(VT_ID(" "));
        if (idx != n - 1) parts.append(VT_ID(","));
    }
    parts.append(scope.where(kwargs));
    run(self, vt::check(PyUnicode_Join(VT_ID("").ptr(), parts.ptr())));
    return py::none();
}

py::object insert_records(vt::Call &c) {
    py::handle self = c[0], table = c[1], kwargs = c[2];
    const Py_ssize_t n = PyDict_GET_SIZE(kwargs.ptr());
    vt::assert_that(n > 0, "Must provide columns and values when inserting!");
    py::tuple keys(n), values(n);
    PyObject *key, *value;
    Py_ssize_t pos = 0, i = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        PyTuple_SET_ITEM(keys.ptr(), i, Py_NewRef(key));
        PyTuple_SET_ITEM(values.ptr(), i, Py_NewRef(value));
        ++i;
    }
    // Every value is rendered, and its type checked, before anything runs.
    // No column is in scope of VALUES: a double-quoted word there is a text.
    py::tuple rendered(n);
    for (i = 0; i < n; ++i) {
        py::object text = call_method(self, VT_ID("_parse_sql_value"), PyTuple_GET_ITEM(values.ptr(), i));
        PyTuple_SET_ITEM(rendered.ptr(), i, text.release().ptr());
    }
    py::object sql = concat({VT_ID("INSERT INTO "), table, VT_ID(" ("),
                             vt::check(PyUnicode_Join(VT_ID(",").ptr(), keys.ptr())),
                             VT_ID(") VALUES ("),
                             vt::check(PyUnicode_Join(VT_ID(",").ptr(), rendered.ptr())),
                             VT_ID(")")});
    run(self, sql);
    return py::none();
}

py::object delete_records(vt::Call &c) {
    py::handle self = c[0], table = c[1], kwargs = c[2];
    TableScope scope(c, self, table, VT_ID("1"));
    run(self, concat({VT_ID("DELETE FROM "), table, VT_ID(" "), scope.where(kwargs)}));
    return py::none();
}

}  // namespace vtdb
