#include "drawdown_kernel.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace metrics {
namespace {

struct Entry {
    std::size_t index;
    double value;
};

// Monotonic deque over a ring buffer: it never holds more than `window`
// entries, since older ones leave as the window moves on.
class Deque {
public:
    explicit Deque(std::size_t capacity) : ring_(capacity) {}
    bool empty() const { return size_ == 0; }
    const Entry &front() const { return ring_[head_]; }
    const Entry &back() const { return ring_[slot(size_ - 1)]; }
    void pop_front() {
        head_ = head_ + 1 == ring_.size() ? 0 : head_ + 1;
        --size_;
    }
    void pop_back() { --size_; }
    void push_back(Entry e) { ring_[slot(size_++)] = e; }
    // Drops the front entry once it has left the window that ends at `i`.
    void expire(std::size_t i, std::size_t window) {
        if (size_ && i - front().index >= window) pop_front();
    }

private:
    std::size_t slot(std::size_t k) const {
        std::size_t s = head_ + k;
        return s >= ring_.size() ? s - ring_.size() : s;
    }
    std::vector<Entry> ring_;
    std::size_t head_ = 0, size_ = 0;
};

template <class T>
double load(const char *p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<double>(value);
}

template <class T>
void run(const Column &column, std::size_t window, double *out) {
    const std::size_t n = column.size;
    const std::size_t capacity = (window < n ? window : n) + 1;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Deque peaks(capacity), lows(capacity);
    const char *p = column.data;
    for (std::size_t i = 0; i < n; ++i, p += column.stride) {
        const double value = load<T>(p);
        peaks.expire(i, window);
        lows.expire(i, window);
        if (std::isfinite(value)) {
            while (!peaks.empty() && peaks.back().value <= value) peaks.pop_back();
            peaks.push_back({i, value});
        }
        const double peak = peaks.empty() ? nan : peaks.front().value;
        const double drawdown = value / peak - 1.0;
        if (std::isfinite(drawdown)) {
            while (!lows.empty() && lows.back().value >= drawdown) lows.pop_back();
            lows.push_back({i, drawdown});
        }
        out[i] = lows.empty() ? nan : lows.front().value;
    }
}

}  // namespace

void rolling_drawdown(const Column &column, std::size_t window, double *out) {
    switch (column.type) {
    case ElementType::Bool: return run<bool>(column, window, out);
    case ElementType::Int8: return run<std::int8_t>(column, window, out);
    case ElementType::Int16: return run<std::int16_t>(column, window, out);
    case ElementType::Int32: return run<std::int32_t>(column, window, out);
    case ElementType::Int64: return run<std::int64_t>(column, window, out);
    case ElementType::UInt8: return run<std::uint8_t>(column, window, out);
    case ElementType::UInt16: return run<std::uint16_t>(column, window, out);
    case ElementType::UInt32: return run<std::uint32_t>(column, window, out);
    case ElementType::UInt64: return run<std::uint64_t>(column, window, out);
    case ElementType::Float32: return run<float>(column, window, out);
    case ElementType::Float64: return run<double>(column, window, out);
    }
}

}  // namespace metrics
