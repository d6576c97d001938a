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
static py::object db_path() {
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

static void db_init(vt::Call &c, py::handle self) {
    py::object dir = vt::format_of(vt::call(c.global(VT_ID("_db_path"))));
    py::object path = vt::concat({dir, VT_ID("/velmor_trader.db")});
    py::object conn = vt::call_method(c.global(VT_ID("sqlite3")), VT_ID("connect"), path);
    self.attr(VT_ID("conn")) = conn;
    self.attr(VT_ID("cursor")) = vt::call_method(conn, VT_ID("cursor"));
    vt::call_method(self, VT_ID("create_balance_table"));
    vt::call_method(self, VT_ID("create_position_table"));
    vt::call_method(self, VT_ID("create_order_table"));
    vt::call_method(self, VT_ID("create_deal_table"));
}

static void db_close(vt::Call &c, py::handle self) {
    vt::with_lock(VT_GLOBAL(c, "lock"), [&] {
        vt::call_method(self.attr(VT_ID("cursor")), VT_ID("close"));
        vt::call_method(self.attr(VT_ID("conn")), VT_ID("close"));
        return py::none();
    });
}

// Commits without the lock: execute() calls it while holding the lock.
static void db_commit(py::handle self) { vt::call_method(VT_ATTR(self, "conn"), VT_ID("commit")); }

void commit_or_roll_back(py::handle self) {
    try {
        vt::call_method(self, VT_ID("commit"));
    } catch (py::error_already_set &) {
        try {
            vt::call_method(self.attr(VT_ID("conn")), VT_ID("rollback"));
        } catch (py::error_already_set &) {
            // the commit's error is the one to report
        }
        throw;
    }
}

// One statement and its commit under the lock; parameters, when given, are
// bound by the driver.
static void db_execute(vt::Call &c, py::handle self, py::handle sql, py::handle parameters) {
    vt::with_lock(VT_GLOBAL(c, "lock"), [&] {
        py::object cursor = VT_ATTR(self, "cursor");
        if (parameters.is_none())
            vt::call_method(cursor, VT_ID("execute"), sql);
        else
            vt::call(cursor.attr(VT_ID("execute")), {sql, parameters});
        commit_or_roll_back(self);
        return py::none();
    });
}

void bind_connection(vt::Members &m) {
    m.add<db_path>("_db_path", vt::signature({}, "str"));
    m.add<db_init>("__init__", {vt::arg("self")});
    m.add<db_close>("close", {vt::arg("self")});
    m.add<db_commit>("commit", {vt::arg("self")});
    m.add<db_execute>("execute", {vt::arg("self"), vt::arg("sql").typed("str"),
                                  vt::arg("parameters").ann("Iterable").def(py::none())});
}

}  // namespace vtdb
