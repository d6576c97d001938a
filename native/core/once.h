// One-time set-up that may run Python code.
//
// A function-local `static` initialised from Python holds the C++ runtime's
// guard for that static while the initialiser runs. If the initialiser lets
// another thread in (an import, a garbage collection, a finaliser...) and
// that thread reaches the same static, it waits on the guard while holding
// the GIL, and neither thread runs again. The holders below are constant-
// initialised (no guard) and are filled under the GIL: a thread that finds
// one empty makes the value itself, and if two threads make it at once, the
// first value stored is kept and the other is dropped. The values made must
// therefore be interchangeable (an interned name, a looked-up object...).
//
//   static vt::LazyObject kwnames;
//   py::handle names = kwnames.get([] { return py::make_tuple(...); });
#pragma once

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

// A Python object kept for the life of the process.
class LazyObject {
public:
    constexpr LazyObject() = default;

    // The object, made by `make()` (returning a py::object) on first use.
    template <class Make>
    py::handle get(Make &&make) {
        if (!object_) {
            py::object made = make();
            if (!object_) object_ = made.release().ptr();
        }
        return object_;
    }

private:
    PyObject *object_ = nullptr;
};

}  // namespace vt
