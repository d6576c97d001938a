// Clock texts of trades: half-hour buckets and holding periods.
#include "metrics.h"

namespace metrics {

// "HH:MM[:...]" -> "HH:00:00" or "HH:30:00"; the hour is copied as written.
py::object convert_time(vt::Call &c) {
    py::object fields = vt::check(PyUnicode_Split(c[0].ptr(), VT_ID(":").ptr(), 2));
    const Py_ssize_t n = PyList_GET_SIZE(fields.ptr());
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        throw py::error_already_set();
    }
    PyObject *hour = PyList_GET_ITEM(fields.ptr(), 0);
    // int() of the text: surrounding spaces, a sign and digit separators
    // are accepted as Python accepts them.
    py::object minute = vt::check(PyNumber_Long(PyList_GET_ITEM(fields.ptr(), 1)));
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(minute.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    const bool first_half = overflow < 0 || (overflow == 0 && value < 30);
    return vt::check(PyUnicode_Concat(hour, (first_half ? VT_ID(":00:00") : VT_ID(":30:00")).ptr()));
}

namespace {

py::object parse_item(const vt::Call &c, py::handle record, py::handle key) {
    py::object strptime = c.global(VT_ID("datetime")).attr(VT_ID("strptime"));
    py::object text = vt::check(PyObject_GetItem(record.ptr(), key.ptr()));
    PyObject *args[] = {text.ptr(), VT_ID("%Y-%m-%d %H:%M:%S").ptr()};
    return vt::check(PyObject_Vectorcall(strptime.ptr(), args, 2, nullptr));
}

}  // namespace

// Minutes from the trade's open to its close (negative if it closed first).
py::object holding_period(vt::Call &c) {
    py::object begin = parse_item(c, c[0], VT_ID("open_datetime"));
    py::object end = parse_item(c, c[0], VT_ID("close_datetime"));
    py::object elapsed = vt::check(PyNumber_Subtract(end.ptr(), begin.ptr()));
    py::object seconds =
        vt::check(PyObject_CallMethodNoArgs(elapsed.ptr(), VT_ID("total_seconds").ptr()));
    py::object minute = vt::check(PyFloat_FromDouble(60.0));
    return vt::check(PyNumber_TrueDivide(seconds.ptr(), minute.ptr()));
}

}  // namespace metrics
