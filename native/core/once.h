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
        if (!object_) store(make());
        return object_;
    }

    // The object if it was made already, else null.
    py::handle peek() const { return object_; }

private:
    void store(py::object made) {
        if (!object_) object_ = made.release().ptr();
    }
    PyObject *object_ = nullptr;
};

// A plain value worked out once (a flag, a pointer into a capsule...);
// `T` must be trivially copyable.
template <class T>
class LazyValue {
public:
    constexpr LazyValue() = default;

    template <class Make>
    T get(Make &&make) {
        if (!ready_) {
            T made = make();
            if (!ready_) {
                value_ = made;
                ready_ = true;
            }
        }
        return value_;
    }

private:
    T value_{};
    bool ready_ = false;
};

}  // namespace vt
