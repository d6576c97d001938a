// Values and filters written as SQL text.
#include "db.h"

#include <cmath>
#include <cstdio>

#include <datetime.h>

namespace vtdb {

// `"YYYY-mm-dd HH:MM:SS"` written straight from the fields of a plain
// datetime.datetime, what its strftime() gives for years from 1000 on; empty
// for anything else (subclasses may have their own strftime, and how years
// below 1000 are padded depends on the platform's C library).
static py::object plain_stamp(py::handle value) {
    PyTypeObject *datetime_type = vt::datetime_type();
    PyObject *v = value.ptr();
    if (!Py_IS_TYPE(v, datetime_type) || PyDateTime_GET_YEAR(v) < 1000) return py::object();
    char text[32];
    int n = std::snprintf(text, sizeof text, "\"%04d-%02d-%02d %02d:%02d:%02d\"",
                          PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v),
                          PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
                          PyDateTime_DATE_GET_SECOND(v));
    return vt::check(PyUnicode_FromStringAndSize(text, n));
}

// Texts (quoted), numbers as format() writes them, numpy.int64 too, and
// date-times to the second (quoted); anything else is refused.
static py::object parse_sql_value(vt::Call &c, py::handle, py::handle value) {
    if (PyUnicode_Check(value.ptr()))
        return quoted(vt::format_of(value), VT_ID("\""), VT_ID("\"\""));
    if (PyFloat_Check(value.ptr())) {
        // A float SQLite cannot read back from its text form: format() writes
        // nan and inf, which SQLite takes for column names. Each is written as
        // SQLite stores the float when it is bound instead: NaN as NULL, an
        // infinity as its infinite REAL (9e999 overflows to it).
        const double x = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isnan(x)) return py::reinterpret_borrow<py::object>(VT_ID("NULL"));
        if (std::isinf(x))
            return py::reinterpret_borrow<py::object>(x > 0 ? VT_ID("9e999") : VT_ID("-9e999"));
        return vt::format_of(value);
    }
    if (PyLong_Check(value.ptr())) return vt::format_of(value);
    if (py::isinstance(value, VT_ATTR(VT_GLOBAL(c, "np"), "int64"))) return vt::format_of(value);
    if (py::isinstance(value, VT_GLOBAL(c, "datetime"))) {
        if (py::object stamp = plain_stamp(value)) return stamp;
        py::object stamp = vt::call_method(value, VT_ID("strftime"), VT_ID("%Y-%m-%d %H:%M:%S"));
        return vt::concat({VT_ID("\""), stamp, VT_ID("\"")});
    }
    vt::fail(PyExc_ValueError,
             vt::concat({VT_ID("Data format is not support! type("), vt::format_of(value),
                         VT_ID(")="), vt::format_of(py::type::handle_of(value))}));
}

// The key "condition_str" brings its value in verbatim as a raw SQL fragment.
py::object where_text(py::handle self, py::handle kwargs, const std::vector<bool> *as_text) {
    if (PyDict_GET_SIZE(kwargs.ptr()) == 0) return py::reinterpret_borrow<py::object>(VT_ID(""));
    py::list parts;
    parts.append(VT_ID("WHERE "));
    PyObject *key, *value;
    Py_ssize_t pos = 0, idx = 0;
    for (; PyDict_Next(kwargs.ptr(), &pos, &key, &value); ++idx) {
        if (idx != 0) parts.append(VT_ID("AND "));
        if (is_condition_str(key)) {
            parts.append(vt::format_of(value));
        } else {
            parts.append(key);
            parts.append(VT_ID("="));
            if (as_text && (*as_text)[idx])
                parts.append(quoted(vt::format_of(value), VT_ID("'"), VT_ID("''")));
            else
                parts.append(vt::call_method(self, VT_ID("_parse_sql_value"), value));
        }
        parts.append(VT_ID(" "));
    }
    return vt::check(PyUnicode_Join(VT_ID("").ptr(), parts.ptr()));
}

static py::object parse_sql_where_condition(py::handle self, py::handle kwargs) {
    return where_text(self, kwargs);
}

void bind_render(vt::Members &m) {
    m.add<parse_sql_value>("_parse_sql_value", {vt::arg("self"),
                           vt::arg("value").ann("Union[str, float, int, datetime]")});
    m.add<parse_sql_where_condition>("_parse_sql_where_condition",
                                     {vt::arg("self"), vt::starstar("kwargs")});
}

}  // namespace vtdb
