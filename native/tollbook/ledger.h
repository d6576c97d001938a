// The fee object's accumulators while a constructor runs.
//
// `self.x += y` reads the attribute, adds and writes it back. On an ordinary
// instance (generic attribute access, no data descriptor under any of the
// names) nothing else can tell when that happens, so the ledger reads each
// attribute once, keeps the running value and writes back what changed when
// the computation ends, also when it ends with an error, so the instance
// holds exactly what the same Python statements would have left. On any
// other instance every read and write goes to the instance at once.
#pragma once

#include <array>
#include <cstddef>

#include <pybind11/pybind11.h>

#include "value.h"

namespace tollbook {

// Remembers, for the last class seen, whether its instances have plain
// access to a ledger's names; valid while the class keeps its version tag
// (the interpreter renews the tag whenever the class or a base changes).
struct AccessCache {
    PyTypeObject *type = nullptr;
    unsigned int version = 0;
    bool plain = false;
};

class Ledger {
public:
    static constexpr std::size_t kMaxSlots = 16;

    // `names`: the attributes the computation uses, each an interned text;
    // slots are their positions, and write-back goes in that order. `cache`
    // belongs to the call site (one per list of names).
    Ledger(py::handle self, std::initializer_list<py::handle> names, AccessCache &cache);
    Ledger(const Ledger &) = delete;
    Ledger &operator=(const Ledger &) = delete;

    const Val &get(std::size_t slot);
    void set(std::size_t slot, Val value);
    // self.<name> += value
    void add(std::size_t slot, const Val &value) { set(slot, tollbook::add(get(slot), value, true)); }

    // Writes the changed values back to the instance.
    void commit();
    // commit() while an error is propagating: a failure to write is dropped
    // so the original error reaches the caller.
    void commit_after_error() noexcept;

private:
    py::handle self_;
    std::size_t size_ = 0;
    bool cached_ = true;
    std::array<py::handle, kMaxSlots> names_{};
    std::array<Val, kMaxSlots> values_{};
    std::array<bool, kMaxSlots> loaded_{};
    std::array<bool, kMaxSlots> dirty_{};
};

// Runs `body(ledger)` and commits the ledger, whether or not body throws.
template <class Body>
void with_ledger(Ledger &ledger, Body &&body) {
    try {
        body(ledger);
    } catch (...) {
        ledger.commit_after_error();
        throw;
    }
    ledger.commit();
}

}  // namespace tollbook
