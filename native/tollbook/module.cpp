// The broker fee schedules of the Futu gateway: fee calculators built from
// the deals of one order, leaving the charges in their attributes.
#include "tollbook.h"

namespace tollbook {
namespace {

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
