// Clock texts of trades: half-hour buckets and holding periods.
#include "metrics.h"

namespace metrics {
namespace {

// "HH:MM[:...]" -> "HH:00:00" or "HH:30:00"; the hour is copied as written.
py::object convert_time(py::handle time_) {
    py::object fields = vt::check(PyUnicode_Split(time_.ptr(), VT_ID(":").ptr(), 2));
    const Py_ssize_t n = PyList_GET_SIZE(fields.ptr());
    if (n < 2)
        vt::fail(PyExc_ValueError,
                 py::str("not enough values to unpack (expected 2, got {})").format(n));
    py::handle hour = PyList_GET_ITEM(fields.ptr(), 0);
    // int() of the text: surrounding spaces, a sign and digit separators
    // are accepted as Python accepts them.
    py::object minute = vt::check(PyNumber_Long(PyList_GET_ITEM(fields.ptr(), 1)));
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(minute.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    const bool first_half = overflow < 0 || (overflow == 0 && value < 30);
    return vt::concat({hour, first_half ? VT_ID(":00:00") : VT_ID(":30:00")});
}

py::object parse_item(const vt::Call &c, py::handle record, py::handle key) {
    py::object strptime = vt::get_attr(VT_GLOBAL(c, "datetime"), VT_ID("strptime"));
    return vt::call(strptime, {vt::get_item(record, key), VT_ID("%Y-%m-%d %H:%M:%S")});
}

// Minutes from the trade's open to its close (negative if it closed first).
py::object holding_period(vt::Call &c, py::handle time_) {
    py::object begin = parse_item(c, time_, VT_ID("open_datetime"));
    py::object end = parse_item(c, time_, VT_ID("close_datetime"));
    py::object seconds = vt::call_method(end - begin, VT_ID("total_seconds"));
    return seconds / py::float_(60.0);
}

const char kConvertTimeDoc[] = "time_ in the format: %H:%M:%S";

const char kHoldingPeriodDoc[] =
    "open_datetime and close_datetime are in the format of %Y-%m-%d %H:%M:%S\n"
    "\n"
    "For a whole frame of trades:\n"
    "    (df[\"close_datetime\"].astype(\"datetime64[s]\")\n"
    "     - df[\"open_datetime\"].astype(\"datetime64[s]\")).dt.total_seconds() / 60";

}  // namespace

void bind_clock(vt::Members &m) {
    m.add<convert_time>("convert_time", {vt::arg("time_").typed("str")}, "str", kConvertTimeDoc);
    m.add<holding_period>("holding_period", {vt::arg("time_").ann("pd.Series")}, "float",
                          kHoldingPeriodDoc);
}

}  // namespace metrics
