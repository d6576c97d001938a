// The broker fee schedules of the Futu gateway: fee calculators built from
// the deals of one order, leaving the charges in their attributes.
#include "tollbook.h"

namespace tollbook {
namespace {

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

const char *const kHkfeDoc =
    "Futu fees for Hong Kong futures traded on HKFE (HKD, per contract).\n"
    "\n"
    "Commission HKD 2 and platform fee HKD 5 per contract of the order;\n"
    "exchange trading fee HKD 3 and regulator's levy HKD 0.10 per contract of\n"
    "each deal. No system fee, settlement fee or stamp duty; nothing rounded.\n";

const char *const kCryptoDoc =
    "Futu fees for cryptocurrency spot trading (USD).\n"
    "\n"
    "Commission waived (COMMISSION_RATE 0% of the trade amount); platform fee\n"
    "PLATFORM_FEE_RATE 0.08% of the trade amount, at least PLATFORM_FEE_MIN_USD\n"
    "USD 1.99 per deal. Both rounded to 8 decimal places.\n";

// class <name>(BaseFees) with its docstring, class attributes and __init__
void define(py::dict g, const char *name, const char *doc, void (*bind)(vt::Members &),
            std::initializer_list<std::pair<const char *, double>> attrs = {}) {
    vt::ClassBuilder cls(g, name, py::make_tuple(g["BaseFees"]), doc);
    for (const auto &attr : attrs) cls.attr(attr.first, py::float_(attr.second));
    vt::Members m;
    bind(m);
    m.define(cls, {"__init__"});
    m.check_all_defined();
    g[name] = cls.build();
}

}  // namespace
}  // namespace tollbook

VT_MODULE(tollbook, "velmor_trader.gateways.futu.tollbook", nullptr) {
    using namespace tollbook;
    vt::import_module(g, "math");
    prepare(g["math"]);
    vt::import_from(g, "velmor_trader.core.deal", {"Deal"});
    vt::import_from(g, "velmor_trader.gateways.base_gateway", {"BaseFees"});
    define(g, "TollbookSEHK", kSehkDoc, bind_sehk);
    define(g, "TollbookHKFE", kHkfeDoc, bind_hkfe);
    define(g, "TollbookCrypto", kCryptoDoc, bind_crypto,
           {{"COMMISSION_RATE", 0.0}, {"PLATFORM_FEE_RATE", 0.0008},
            {"PLATFORM_FEE_MIN_USD", 1.99}});
}
