// Locating the database, opening it, and running one statement at a time.
#include "db.h"

namespace vtdb {

static const char kPathMessage[] =
    "`sqlite3` is activated, and its path must be specified in `DB` variable in "
    "velmor_trader_config.py";

// The configured directory of the database file.  Whatever goes wrong in
// reading it (no configuration module, no DB mapping, no "sqlite3" item,
// not a text) is reported as one ValueError caused by the original error.
// A directory of None is refused too: it would open "None/velmor_trader.db".
py::object db_path(vt::Call &) {
    try {
        py::dict scope;
        vt::import_from(scope, "velmor_trader_config", {"DB"});
        py::object path = scope["DB"][py::str("sqlite3")];
        if (!PyUnicode_CheckExact(path.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(path.ptr())->tp_name);
            throw py::error_already_set();
        }
        return path;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::raise_from(e, PyExc_ValueError, kPathMessage);
        throw py::error_already_set();
    }
}

py::object db_init(vt::Call &c) {
    py::handle self = c[0];
    py::object dir = vt::check(PyObject_Format(c.global(VT_ID("_db_path"))().ptr(), nullptr));
    py::object path = concat({dir, VT_ID("/velmor_trader.db")});
    py::object conn = c.global(VT_ID("sqlite3")).attr(VT_ID("connect"))(path);
    self.attr(VT_ID("conn")) = conn;
    self.attr(VT_ID("cursor")) = call_method(conn, VT_ID("cursor"));
    call_method(self, VT_ID("create_balance_table"));
    call_method(self, VT_ID("create_position_table"));
    call_method(self, VT_ID("create_order_table"));
    call_method(self, VT_ID("create_deal_table"));
    return py::none();
}

py::object db_close(vt::Call &c) {
    py::handle self = c[0];
    return with_lock(c, [&] {
        call_method(self.attr(VT_ID("cursor")), VT_ID("close"));
        call_method(self.attr(VT_ID("conn")), VT_ID("close"));
        return py::none();
    });
}

// Commits without the lock: execute() calls it while holding the lock.
py::object db_commit(vt::Call &c) {
    call_method(c[0].attr(VT_ID("conn")), VT_ID("commit"));
    return py::none();
}

void commit_or_roll_back(py::handle self) {
    try {
        call_method(self, VT_ID("commit"));
    } catch (py::error_already_set &) {
        PyObject *conn = PyObject_GetAttr(self.ptr(), VT_ID("conn").ptr());
        PyObject *done = conn ? PyObject_CallMethodNoArgs(conn, VT_ID("rollback").ptr()) : nullptr;
        if (!done) PyErr_Clear();  // the commit's error is the one to report
        Py_XDECREF(done);
        Py_XDECREF(conn);
        throw;
    }
}

// One statement and its commit under the lock; parameters, when given, are
// bound by the driver.
py::object db_execute(vt::Call &c) {
    py::handle self = c[0], sql = c[1], parameters = c[2];
    return with_lock(c, [&] {
        py::object cursor = self.attr(VT_ID("cursor"));
        if (parameters.is_none()) {
            call_method(cursor, VT_ID("execute"), sql);
        } else {
            PyObject *args[] = {cursor.ptr(), sql.ptr(), parameters.ptr()};
            vt::check(PyObject_VectorcallMethod(VT_ID("execute").ptr(), args,
                                                3, nullptr));
        }
        commit_or_roll_back(self);
        return py::none();
    });
}

py::object concat(std::initializer_list<py::handle> parts) {
    py::tuple items(parts.size());
    Py_ssize_t i = 0;
    for (py::handle part : parts) PyTuple_SET_ITEM(items.ptr(), i++, Py_NewRef(part.ptr()));
    return vt::check(PyUnicode_Join(VT_ID("").ptr(), items.ptr()));
}

}  // namespace vtdb
