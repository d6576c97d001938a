// Cryptocurrency spot: a rate-based commission and a per-deal platform fee
// with a floor, the rates read through the instance so that a subclass or
// an instance may change them.
#include "host.h"
#include "schedules.h"
#include "total.h"

namespace tollbook {

namespace {

const char *const kDoc =
    "Futu fees for cryptocurrency spot trading (USD).\n"
    "\n"
    "Commission waived (COMMISSION_RATE 0% of the trade amount); platform fee\n"
    "PLATFORM_FEE_RATE 0.08% of the trade amount, at least PLATFORM_FEE_MIN_USD\n"
    "USD 1.99 per deal. Both rounded to 8 decimal places.\n";

enum Slot : std::size_t {
    kTrades, kAmount, kCommissions, kPlatform, kTotal, kSystem, kSettlement, kStamp,
    kTrade, kTransaction, kCommissionRate, kPlatformRate, kPlatformMin
};

py::object init(vt::Call &c) {
    const Host host(c, Host::kRound | Host::kMax);
    py::tuple deals = py::reinterpret_borrow<py::tuple>(c[1]);
    static AccessCache access;
    Ledger ledger(c[0], {VT_ID("total_number_of_trades"), VT_ID("total_trade_amount"),
                         VT_ID("commissions"), VT_ID("platform_fees"), VT_ID("total_fees"),
                         VT_ID("system_fees"), VT_ID("settlement_fees"), VT_ID("stamp_fees"),
                         VT_ID("trade_fees"), VT_ID("transaction_fees"),
                         VT_ID("COMMISSION_RATE"), VT_ID("PLATFORM_FEE_RATE"),
                         VT_ID("PLATFORM_FEE_MIN_USD")}, access);
    with_ledger(ledger, [&](Ledger &l) {
        for (py::handle deal : deals) {
            const Val price = Val::of(VT_ATTR(deal, "filled_avg_price"));
            const Val quantity = Val::of(VT_ATTR(deal, "filled_quantity"));
            const Val amount = mul(price, quantity);
            l.add(kTrades, Val::integer(1));
            l.add(kAmount, amount);
            l.add(kCommissions, mul(l.get(kCommissionRate), amount));
            l.add(kPlatform,
                  host.max(mul(l.get(kPlatformRate), amount), l.get(kPlatformMin)));
        }
        l.set(kCommissions, host.round(l.get(kCommissions), 8));
        l.set(kPlatform, host.round(l.get(kPlatform), 8));
        l.set(kTotal, sum_of_charges(l, {kCommissions, kPlatform, kSystem, kSettlement,
                                         kStamp, kTrade, kTransaction}));
    });
    return py::none();
}

}  // namespace

void define_crypto(py::dict globals) {
    define_schedule(globals, "TollbookCrypto", kDoc, init,
                    {{"COMMISSION_RATE", py::float_(0.0)},
                     {"PLATFORM_FEE_RATE", py::float_(0.0008)},
                     {"PLATFORM_FEE_MIN_USD", py::float_(1.99)}});
}

}  // namespace tollbook
