// The broker fee schedules of the Futu gateway: what the schedules share.
#pragma once

#include <vt.h>

namespace tollbook {
namespace py = pybind11;

// A number as the fee arithmetic sees it: exact ints that fit 64 bits and
// exact floats unboxed, computed in C++ with the host's results; anything else
// (big ints, bools, numpy scalars, fractions...) a Python object, computed by
// the host's own operators: every result and type is Python's.
struct Num {
    enum Kind : unsigned char { Int, Float, Obj };

    Num() = default;
    Num(int v) : i(v) {}
    Num(long long v) : i(v) {}
    Num(double v) : kind(Float), d(v) {}
    explicit Num(py::object v) : kind(Obj), obj(std::move(v)) {}
    static Num of(py::handle value);  // a reference kept to anything not unboxed
    py::object object() const;        // a new int or float when unboxed

    Kind kind = Int;
    long long i = 0;
    double d = 0.0;
    py::object obj;
};

Num operator+(const Num &a, const Num &b);
Num operator*(const Num &a, const Num &b);
Num operator/(const Num &a, const Num &b);
Num iadd(const Num &a, const Num &b);        // a += b
bool operator<(const Num &a, const Num &b);  // bool(a < b)
bool operator>(const Num &a, const Num &b);

// Every figure the schedules read or write, named as its attribute, in the
// order the schedules first write them (the order the instance's attributes
// appear in); the Crypto rates, only read, come last.
#define TOLLBOOK_FIELDS(F)                                                              \
    F(total_number_of_trades) F(total_trade_amount) F(system_fees) F(settlement_fees)   \
    F(stamp_fees) F(trade_fees) F(transaction_fees) F(commissions) F(platform_fees)     \
    F(total_fees) F(COMMISSION_RATE) F(PLATFORM_FEE_RATE) F(PLATFORM_FEE_MIN_USD)
#define TOLLBOOK_ENUMERATOR(name) name,
enum Field : std::size_t { TOLLBOOK_FIELDS(TOLLBOOK_ENUMERATOR) kFields };
#undef TOLLBOOK_ENUMERATOR

enum Callable { kRound, kMax, kInt, kCeil };  // the module's round, max, int, math.ceil
// Interns the figures' names and keeps the host's own callables, so that
// identity tells whether what the module finds under a name is still one.
void prepare(py::handle math);

// The fee object while a schedule runs. On an instance with plain access
// (plain_attributes under every name) nothing can tell when `self.x += y`
// reads and writes, so each figure is read once and what changed is written
// back when the schedule ends, also when it ends with an error: what the same
// Python statements would have left. Any other instance is read and written
// at once. round, max, int and math.ceil are looked up at their first use in
// the call, as the Python code does (a missing one is a NameError there), and
// computed here while they are the host's own.
class Fees {
public:
    // `watch` belongs to the schedule: what it learnt of self's class.
    Fees(vt::Call &c, py::handle self, vt::ClassWatch<bool> &watch);
    ~Fees();  // while an error propagates: commit(), a failure to write dropped

    const Num &get(Field field);
    void set(Field field, Num value);
    void add(Field field, const Num &value) { set(field, iadd(get(field), value)); }
    // self.x += <term>: x is read before the term is evaluated, so a term
    // that fails (math.ceil(inf)) or calls out finds x already read. The
    // term must not read or write x itself: `before` is x's own slot, not
    // a copy (a copy would cost every deal a reference count round trip).
    template <class Term>
    void add_term(Field field, Term &&term) {
        const Num &before = get(field);
        set(field, iadd(before, term()));
    }
    Num charges();  // commissions + platform_fees + system_fees + ... + transaction_fees
    void commit();  // writes back what changed: the schedule's last step

    Num round(const Num &v, int ndigits);
    Num max(const Num &a, const Num &b);
    Num to_int(const Num &v) { return whole(kInt, v); }
    Num ceil(const Num &v) { return whole(kCeil, v); }

private:
    py::handle found(Callable which) { return found_[which] ? found_[which] : look_up(which); }
    py::handle look_up(Callable which);
    bool native(Callable which);  // still the host's own
    Num whole(Callable which, const Num &v);

    vt::Call &c_;
    py::handle self_;
    bool plain_;
    py::object found_[4];
    Num values_[kFields];
    bool loaded_[kFields] = {};
    bool dirty_[kFields] = {};
};

extern const char *const kSehkDoc, *const kHkfeDoc, *const kCryptoDoc;
// The schedules, each the body of its class's __init__(self, *deals).
void sehk(vt::Call &c, py::handle self, py::handle deals);
void hkfe(vt::Call &c, py::handle self, py::handle deals);
void crypto(vt::Call &c, py::handle self, py::handle deals);

}  // namespace tollbook
