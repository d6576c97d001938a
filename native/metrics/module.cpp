// velmor_trader.plugins.analysis.metrics: performance figures of a strategy
// from its return series and portfolio values.
#include "metrics.h"

VT_MODULE(metrics, "velmor_trader.plugins.analysis.metrics", nullptr) {
    vt::import_from(g, "datetime", {"datetime"});
    vt::import_module(g, "numpy", "np");
    vt::import_module(g, "pandas", "pd");

    vt::Members members;
    metrics::bind_clock(members);
    metrics::bind_percentile(members);
    metrics::bind_ratios(members);
    metrics::bind_drawdown(members);
    members.define(g, {"convert_time", "holding_period", "percentile", "sharpe_ratio",
                       "information_ratio", "modigliani_ratio", "rolling_maximum_drawdown"});
    members.check_all_defined();
}
