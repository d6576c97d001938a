// The SQLite store: one DB class over the framework's database file.
// Shared declarations of the module's method bodies and small helpers.
#pragma once

#include <initializer_list>

#include <vt.h>

namespace vtdb {
namespace py = pybind11;

// Method and function bodies, bound in module.cpp.
py::object db_path(vt::Call &c);
py::object db_init(vt::Call &c);
py::object db_close(vt::Call &c);
py::object db_commit(vt::Call &c);
py::object db_execute(vt::Call &c);
py::object parse_sql_value(vt::Call &c);
py::object parse_sql_where_condition(vt::Call &c);
py::object create_balance_table(vt::Call &c);
py::object create_position_table(vt::Call &c);
py::object create_order_table(vt::Call &c);
py::object create_deal_table(vt::Call &c);
py::object delete_table(vt::Call &c);
py::object select_records(vt::Call &c);
py::object update_records(vt::Call &c);
py::object insert_records(vt::Call &c);
py::object delete_records(vt::Call &c);

// obj.name() and obj.name(arg), through the method-call fast path.
inline py::object call_method(py::handle obj, py::handle name) {
    return vt::check(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}
inline py::object call_method(py::handle obj, py::handle name, py::handle arg) {
    return vt::check(PyObject_CallMethodOneArg(obj.ptr(), name.ptr(), arg.ptr()));
}

// The texts concatenated, as a chain of `+` on str would give them; a part
// that is not a str raises TypeError.
py::object concat(std::initializer_list<py::handle> parts);

// `self.execute(sql)`: every statement goes through the (overridable) method.
inline void run(py::handle self, py::handle sql) { call_method(self, VT_ID("execute"), sql); }

// self.commit(); if the commit fails (the file locked by another connection
// past the busy timeout), the transaction is rolled back, so that the failed
// statement is not committed later by this connection's next commit, and the
// commit's error propagates.
void commit_or_roll_back(py::handle self);

// `self._parse_sql_where_condition(**kwargs)`.
py::object where_clause(py::handle self, py::handle kwargs);

// Runs `body` holding the module's lock (the module global at the time of
// the call), as `with lock:` does.
template <class Body>
auto with_lock(vt::Call &c, Body &&body) {
    return vt::with_lock(c.global(VT_ID("lock")), std::forward<Body>(body));
}

}  // namespace vtdb
