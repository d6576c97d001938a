// The three fee schedules, each `__init__(self, *deals)` of its class: the
// statements of the module's Python code, in their order, on the fee object's
// figures (see Fees).
#include "tollbook.h"

namespace tollbook {

namespace {

// Hong Kong stocks on SEHK: per-deal exchange, clearing and government
// charges, then the broker's per-order commission and platform fee.
void sehk(vt::Call &c, py::handle self, py::handle deals) {
    static vt::ClassWatch<bool> watch;
    Fees f(c, self, watch);
    for (py::handle deal : py::reinterpret_borrow<py::tuple>(deals)) {
        const Num price = Num::of(VT_ATTR(deal, "filled_avg_price"));
        const Num size = Num::of(VT_ATTR(deal, "filled_quantity"));
        const Num amount = price * size;
        f.add(total_number_of_trades, 1);
        f.add(total_trade_amount, amount);
        f.add(system_fees, f.round(0.50, 2));

        Num settlement = 0.00002 * amount;
        if (settlement < 2.0)
            settlement = 2.0;
        else if (settlement > 100.0)
            settlement = 100.0;
        f.add(settlement_fees, f.round(settlement, 2));

        f.add(stamp_fees, f.ceil(0.0013 * amount));
        f.add(trade_fees, f.round(f.max(0.00005 * amount, 0.01), 2));
        f.add(transaction_fees, f.round(f.max(0.000027 * amount, 0.01), 2));
    }
    const Num before = f.get(commissions);
    f.set(commissions, iadd(before, f.max(0.0003 * f.get(total_trade_amount), 3)));
    f.set(commissions, f.round(f.get(commissions), 2));
    f.set(platform_fees, 15);
    f.set(total_fees, f.charges());
    f.commit();
}

// Hong Kong futures on HKFE: everything is charged per contract; the
// per-order charges count the contracts of every deal of the order.
void hkfe(vt::Call &c, py::handle self, py::handle deals) {
    static vt::ClassWatch<bool> watch;
    Fees f(c, self, watch);
    Num contracts = 0;
    for (py::handle deal : py::reinterpret_borrow<py::tuple>(deals)) {
        const Num size = Num::of(VT_ATTR(deal, "filled_quantity"));
        const Num lot = Num::of(VT_ATTR(VT_ATTR(deal, "security"), "lot_size"));
        const Num count = f.to_int(size / lot);
        contracts = iadd(contracts, count);
        f.add(trade_fees, 3.0 * count);
        f.add(transaction_fees, 0.1 * count);
    }
    f.add(commissions, 2.0 * contracts);
    f.set(platform_fees, 5.0 * contracts);
    f.set(total_fees, f.charges());
    f.commit();
}

// Cryptocurrency spot: a rate-based commission and a per-deal platform fee
// with a floor, the rates read through the instance so that a subclass or an
// instance may change them.
void crypto(vt::Call &c, py::handle self, py::handle deals) {
    static vt::ClassWatch<bool> watch;
    Fees f(c, self, watch);
    for (py::handle deal : py::reinterpret_borrow<py::tuple>(deals)) {
        const Num price = Num::of(VT_ATTR(deal, "filled_avg_price"));
        const Num amount = price * Num::of(VT_ATTR(deal, "filled_quantity"));
        f.add(total_number_of_trades, 1);
        f.add(total_trade_amount, amount);
        // self.x += y reads x before evaluating y
        const Num commissions_before = f.get(commissions);
        f.set(commissions, iadd(commissions_before, f.get(COMMISSION_RATE) * amount));
        const Num platform_before = f.get(platform_fees);
        const Num rated = f.get(PLATFORM_FEE_RATE) * amount;
        f.set(platform_fees, iadd(platform_before, f.max(rated, f.get(PLATFORM_FEE_MIN_USD))));
    }
    f.set(commissions, f.round(f.get(commissions), 8));
    f.set(platform_fees, f.round(f.get(platform_fees), 8));
    f.set(total_fees, f.charges());
    f.commit();
}

// def __init__(self, *deals: "Deal"), its body F
template <auto F>
void bind_init(vt::Members &m) {
    m.add<F>("__init__", {vt::arg("self"), vt::star("deals").ann("Deal")});
}

}  // namespace

void bind_sehk(vt::Members &m) { bind_init<sehk>(m); }
void bind_hkfe(vt::Members &m) { bind_init<hkfe>(m); }
void bind_crypto(vt::Members &m) { bind_init<crypto>(m); }

}  // namespace tollbook
