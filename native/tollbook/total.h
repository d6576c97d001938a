// The closing step every schedule shares: total_fees is the seven charges
// added left to right.
#pragma once

#include "ledger.h"

namespace tollbook {

// Slots of the seven charges, in the order they are added.
struct Charges {
    std::size_t commissions, platform_fees, system_fees, settlement_fees, stamp_fees,
        trade_fees, transaction_fees;
};

inline Val sum_of_charges(Ledger &ledger, const Charges &c) {
    Val total = ledger.get(c.commissions);
    for (std::size_t slot : {c.platform_fees, c.system_fees, c.settlement_fees, c.stamp_fees,
                             c.trade_fees, c.transaction_fees})
        total = add(total, ledger.get(slot));
    return total;
}

}  // namespace tollbook
