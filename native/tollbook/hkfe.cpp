// Hong Kong futures on HKFE: everything is charged per contract.
#include "host.h"
#include "schedules.h"
#include "total.h"

namespace tollbook {

namespace {

const char *const kDoc =
    "Futu fees for Hong Kong futures traded on HKFE (HKD, per contract).\n"
    "\n"
    "Commission HKD 2 and platform fee HKD 5 per contract of the order;\n"
    "exchange trading fee HKD 3 and regulator's levy HKD 0.10 per contract of\n"
    "each deal. No system fee, settlement fee or stamp duty; nothing rounded.\n";

enum Slot : std::size_t {
    kTrade, kTransaction, kCommissions, kPlatform, kSystem, kSettlement, kStamp, kTotal
};

// The per-order charges count the contracts of every deal of the order
// (none for an order without deals).
py::object init(vt::Call &c) {
    const Host host(c, Host::kInt);
    py::tuple deals = py::reinterpret_borrow<py::tuple>(c[1]);
    static AccessCache access;
    Ledger ledger(c[0], {VT_ID("trade_fees"), VT_ID("transaction_fees"), VT_ID("commissions"),
                         VT_ID("platform_fees"), VT_ID("system_fees"),
                         VT_ID("settlement_fees"), VT_ID("stamp_fees"), VT_ID("total_fees")}, access);
    with_ledger(ledger, [&](Ledger &l) {
        Val contracts = Val::integer(0);
        for (py::handle deal : deals) {
            const Val size = Val::of(VT_ATTR(deal, "filled_quantity"));
            const Val lot = Val::of(VT_ATTR(VT_ATTR(deal, "security"), "lot_size"));
            const Val count = host.to_int(truediv(size, lot));
            contracts = add(contracts, count, true);
            l.add(kTrade, mul(Val::real(3.0), count));
            l.add(kTransaction, mul(Val::real(0.1), count));
        }
        l.add(kCommissions, mul(Val::real(2.0), contracts));
        l.set(kPlatform, mul(Val::real(5.0), contracts));
        l.set(kTotal, sum_of_charges(l, {kCommissions, kPlatform, kSystem, kSettlement,
                                         kStamp, kTrade, kTransaction}));
    });
    return py::none();
}

}  // namespace

void define_hkfe(py::dict globals) { define_schedule(globals, "TollbookHKFE", kDoc, init); }

}  // namespace tollbook
