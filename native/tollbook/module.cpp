// The broker fee schedules of the Futu gateway: fee calculators built from
// the deals of one order, leaving the charges in their attributes.
#include <vt.h>

#include "host.h"
#include "schedules.h"

namespace tollbook {

void define_schedule(py::dict globals, const char *name, const char *doc, vt::Impl init,
                     std::initializer_list<std::pair<const char *, py::object>> attrs) {
    vt::SignaturePtr sig = vt::signature({vt::arg("self"), vt::star("deals").ann("Deal")});
    vt::ClassBuilder cls(globals, name, py::make_tuple(globals["BaseFees"]), doc);
    for (const auto &attr : attrs) cls.attr(attr.first, attr.second);
    cls.method("__init__", sig, init);
    globals[name] = cls.build();
}

}  // namespace tollbook

VT_MODULE(tollbook, "velmor_trader.gateways.futu.tollbook", nullptr) {
    vt::import_module(g, "math");
    tollbook::Host::remember_originals(g["math"]);
    vt::import_from(g, "velmor_trader.core.deal", {"Deal"});
    vt::import_from(g, "velmor_trader.gateways.base_gateway", {"BaseFees"});
    tollbook::define_sehk(g);
    tollbook::define_hkfe(g);
    tollbook::define_crypto(g);
}
