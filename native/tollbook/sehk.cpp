// Hong Kong stocks on SEHK: per-deal exchange, clearing and government
// charges, then the broker's per-order commission and platform fee.
#include "host.h"
#include "schedules.h"
#include "total.h"

namespace tollbook {

namespace {

const char *const kDoc =
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

// Ledger slots, in the order the attributes are first written.
enum Slot : std::size_t {
    kTrades, kAmount, kSystem, kSettlement, kStamp, kTrade, kTransaction,
    kCommissions, kPlatform, kTotal
};

void add_deal(Ledger &l, const Host &host, py::handle deal) {
    const Val price = Val::of(VT_ATTR(deal, "filled_avg_price"));
    const Val size = Val::of(VT_ATTR(deal, "filled_quantity"));
    const Val amount = mul(price, size);
    l.add(kTrades, Val::integer(1));
    l.add(kAmount, amount);

    l.add(kSystem, host.round(Val::real(0.50), 2));

    Val settlement = mul(Val::real(0.00002), amount);
    if (less(settlement, Val::real(2.0)))
        settlement = Val::real(2.0);
    else if (greater(settlement, Val::real(100.0)))
        settlement = Val::real(100.0);
    l.add(kSettlement, host.round(settlement, 2));

    l.add(kStamp, host.ceil(mul(Val::real(0.0013), amount)));
    l.add(kTrade, host.round(host.max(mul(Val::real(0.00005), amount), Val::real(0.01)), 2));
    l.add(kTransaction,
          host.round(host.max(mul(Val::real(0.000027), amount), Val::real(0.01)), 2));
}

py::object init(vt::Call &c) {
    const Host host(c, Host::kRound | Host::kMax | Host::kCeil);
    py::tuple deals = py::reinterpret_borrow<py::tuple>(c[1]);
    static AccessCache access;
    Ledger ledger(c[0], {VT_ID("total_number_of_trades"), VT_ID("total_trade_amount"),
                         VT_ID("system_fees"), VT_ID("settlement_fees"), VT_ID("stamp_fees"),
                         VT_ID("trade_fees"), VT_ID("transaction_fees"), VT_ID("commissions"),
                         VT_ID("platform_fees"), VT_ID("total_fees")}, access);
    with_ledger(ledger, [&](Ledger &l) {
        for (py::handle deal : deals) add_deal(l, host, deal);

        const Val commissions = l.get(kCommissions);
        const Val minimum = host.max(mul(Val::real(0.0003), l.get(kAmount)), Val::integer(3));
        l.set(kCommissions, add(commissions, minimum, true));
        l.set(kCommissions, host.round(l.get(kCommissions), 2));
        l.set(kPlatform, Val::integer(15));
        l.set(kTotal, sum_of_charges(l, {kCommissions, kPlatform, kSystem, kSettlement,
                                         kStamp, kTrade, kTransaction}));
    });
    return py::none();
}

}  // namespace

void define_sehk(py::dict globals) { define_schedule(globals, "TollbookSEHK", kDoc, init); }

}  // namespace tollbook
