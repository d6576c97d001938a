// The helpers of celbridge.h that are not inline.
#include "celbridge.h"

namespace cel {

py::object last_part(py::handle name) {
    if (!PyUnicode_CheckExact(name.ptr()))
        return vt::item(vt::call_method(name, VT_ID("split"), VT_ID(".")), -1);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    const Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, -1);
    if (dot == -2) throw py::error_already_set();
    if (dot == -1) return py::reinterpret_borrow<py::object>(name);
    return vt::check(PyUnicode_Substring(name.ptr(), dot + 1, length));
}

int symbol_match(py::handle name, py::handle symbol) {
    int contained = PySequence_Contains(name.ptr(), symbol.ptr());
    if (contained < 0) throw py::error_already_set();
    if (!contained) return 0;
    if (vt::equal(name, symbol) || vt::equal(last_part(name), symbol)) return 2;
    return 1;
}

py::object cqg_time(vt::Call &c, py::handle stamp, TimeArgs args) {
    py::object fields[] = {VT_ATTR(stamp, "year"),   VT_ATTR(stamp, "month"),
                           VT_ATTR(stamp, "day"),    VT_ATTR(stamp, "hour"),
                           VT_ATTR(stamp, "minute"), VT_ATTR(stamp, "second")};
    py::object datetime = c.global(VT_ID("datetime"));
    std::initializer_list<py::handle> values = {fields[0], fields[1], fields[2],
                                                fields[3], fields[4], fields[5]};
    // The interpreter's own datetime class builds the same value from the
    // fields by position as by keyword, and by position far faster.
    if (args == TimeArgs::Positional ||
        datetime.ptr() == reinterpret_cast<PyObject *>(vt::datetime_type()))
        return vt::call(datetime, values);
    return vt::call(datetime, values,
                    {VT_ID("year"), VT_ID("month"), VT_ID("day"), VT_ID("hour"), VT_ID("minute"),
                     VT_ID("second")});
}

}  // namespace cel
