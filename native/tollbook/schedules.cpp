// The three fee schedules, each `__init__(self, *deals)` of its class after
// its docstring: the statements of the module's Python code, in their order,
// on the fee object's figures (see Fees).
#include "tollbook.h"

namespace tollbook {

const char *const kSehkDoc =
    "Futu fees for Hong Kong stocks traded on SEHK (margin account, HKD).\n"
    "\n"
    "Package one, for ordinary traders (computed here):\n"
    "  commission 0.03% of the order's trade amount, at least HKD 3 per order;\n"
    "  platform fee HKD 15 per order.\n"
    "Package two (described only, not computed): the same commission, with a\n"
    "platform fee that falls in tiers with the number of orders placed in the\n"
    "calendar month.\n"
    "Charged by third parties, per deal:\n"
    "  trading system fee HKD 0.50;\n"
    "  settlement fee 0.002% of the amount, at least HKD 2, at most HKD 100;\n"
    "  stamp duty 0.13% of the amount, rounded up to a whole dollar;\n"
    "  trading fee 0.005% of the amount, at least HKD 0.01;\n"
    "  transaction levy 0.0027% of the amount, at least HKD 0.01.\n";

void sehk(vt::Call &c, py::handle self, py::handle deals) {
    static vt::ClassWatch<bool> watch;
    Fees f(c, self, watch);
    for (py::handle deal : py::reinterpret_borrow<py::tuple>(deals)) {
        const Num price = Num::of(VT_ATTR(deal, "filled_avg_price"));
        const Num size = Num::of(VT_ATTR(deal, "filled_quantity"));
        const Num amount = price * size;
        f.add(total_number_of_trades, 1);
        f.add(total_trade_amount, amount);
        f.add_term(system_fees, [&] { return f.round(0.50, 2); });

        Num settlement = 0.00002 * amount;
        if (settlement < 2.0)
            settlement = 2.0;
        else if (settlement > 100.0)
            settlement = 100.0;
        f.add(settlement_fees, f.round(settlement, 2));

        f.add_term(stamp_fees, [&] { return f.ceil(0.0013 * amount); });
        f.add_term(trade_fees, [&] { return f.round(f.max(0.00005 * amount, 0.01), 2); });
        f.add_term(transaction_fees,
                   [&] { return f.round(f.max(0.000027 * amount, 0.01), 2); });
    }
    f.add_term(commissions, [&] { return f.max(0.0003 * f.get(total_trade_amount), 3); });
    f.set(commissions, f.round(f.get(commissions), 2));
    f.set(platform_fees, 15);
    f.set(total_fees, f.charges());
    f.commit();
}

const char *const kHkfeDoc =
    "Futu fees for Hong Kong futures traded on HKFE (HKD, per contract).\n"
    "\n"
    "Commission HKD 2 and platform fee HKD 5 per contract of the order;\n"
    "exchange trading fee HKD 3 and regulator's levy HKD 0.10 per contract of\n"
    "each deal. No system fee, settlement fee or stamp duty; nothing rounded.\n";

// The per-order charges count the contracts of every deal of the order.
void hkfe(vt::Call &c, py::handle self, py::handle deals) {
    static vt::ClassWatch<bool> watch;
    Fees f(c, self, watch);
    Num contracts = 0;
    for (py::handle deal : py::reinterpret_borrow<py::tuple>(deals)) {
        const Num size = Num::of(VT_ATTR(deal, "filled_quantity"));
        const Num lot = Num::of(VT_ATTR(VT_ATTR(deal, "security"), "lot_size"));
        const Num count = f.to_int(size / lot);
        contracts = iadd(contracts, count);
        f.add_term(trade_fees, [&] { return 3.0 * count; });
        f.add_term(transaction_fees, [&] { return 0.1 * count; });
    }
    f.add_term(commissions, [&] { return 2.0 * contracts; });
    f.set(platform_fees, 5.0 * contracts);
    f.set(total_fees, f.charges());
    f.commit();
}

const char *const kCryptoDoc =
    "Futu fees for cryptocurrency spot trading (USD).\n"
    "\n"
    "Commission waived (COMMISSION_RATE 0% of the trade amount); platform fee\n"
    "PLATFORM_FEE_RATE 0.08% of the trade amount, at least PLATFORM_FEE_MIN_USD\n"
    "USD 1.99 per deal. Both rounded to 8 decimal places.\n";

// The rates are read through the instance: a subclass or an instance may change them.
void crypto(vt::Call &c, py::handle self, py::handle deals) {
    static vt::ClassWatch<bool> watch;
    Fees f(c, self, watch);
    for (py::handle deal : py::reinterpret_borrow<py::tuple>(deals)) {
        const Num price = Num::of(VT_ATTR(deal, "filled_avg_price"));
        const Num amount = price * Num::of(VT_ATTR(deal, "filled_quantity"));
        f.add(total_number_of_trades, 1);
        f.add(total_trade_amount, amount);
        f.add_term(commissions, [&] { return f.get(COMMISSION_RATE) * amount; });
        f.add_term(platform_fees, [&] {
            const Num rated = f.get(PLATFORM_FEE_RATE) * amount;
            return f.max(rated, f.get(PLATFORM_FEE_MIN_USD));
        });
    }
    f.set(commissions, f.round(f.get(commissions), 8));
    f.set(platform_fees, f.round(f.get(platform_fees), 8));
    f.set(total_fees, f.charges());
    f.commit();
}

}  // namespace tollbook
