// The broker fee schedules of the Futu gateway: fee calculators built from
// the deals of one order, leaving the charges in their attributes.
#include "tollbook.h"

namespace tollbook {
namespace {

// class <name>(BaseFees) with its docstring, class attributes and
// def __init__(self, *deals: "Deal") with the schedule as its body
template <auto Schedule>
void define(py::dict g, const char *name, const char *doc,
            std::initializer_list<std::pair<const char *, double>> attrs = {}) {
    vt::ClassBuilder cls(g, name, py::make_tuple(g["BaseFees"]), doc);
    for (const auto &attr : attrs) cls.attr(attr.first, py::float_(attr.second));
    auto sig = vt::signature({vt::arg("self"), vt::star("deals").ann("Deal")});
    cls.attr("__init__", cls.function("__init__", sig, vt::checked_body<Schedule>("__init__", sig)));
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
    define<sehk>(g, "TollbookSEHK", kSehkDoc);
    define<hkfe>(g, "TollbookHKFE", kHkfeDoc);
    define<crypto>(g, "TollbookCrypto", kCryptoDoc,
           {{"COMMISSION_RATE", 0.0}, {"PLATFORM_FEE_RATE", 0.0008},
            {"PLATFORM_FEE_MIN_USD", 1.99}});
}
