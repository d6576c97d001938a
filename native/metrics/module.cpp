// velmor_trader.plugins.analysis.metrics: performance figures of a strategy
// from its return series and portfolio values.
#include "metrics.h"

namespace {

const char kPercentileDoc[] =
    "Named percentile function for pandas aggregation (agg), e.g.\n"
    "    df.groupby(key).agg([percentile(25), percentile(75)])\n"
    "labels the result columns percentile_25.0 and percentile_75.0.";

const char kConvertTimeDoc[] = "time_ in the format: %H:%M:%S";

const char kHoldingPeriodDoc[] =
    "open_datetime and close_datetime are in the format of %Y-%m-%d %H:%M:%S\n"
    "\n"
    "For a whole frame of trades:\n"
    "    (df[\"close_datetime\"].astype(\"datetime64[s]\")\n"
    "     - df[\"open_datetime\"].astype(\"datetime64[s]\")).dt.total_seconds() / 60";

const char kDrawdownDoc[] =
    "(default) use a trailing 252 trading day window\n"
    "portfolio_value: the *daily* portfolio values";

}  // namespace

VT_MODULE(metrics, "velmor_trader.plugins.analysis.metrics", nullptr) {
    vt::import_from(g, "datetime", {"datetime"});
    vt::import_module(g, "numpy", "np");
    vt::import_module(g, "pandas", "pd");

    vt::def(g, "convert_time",
            vt::signature({vt::arg("time_").typed("str")}, "str"),
            metrics::convert_time, kConvertTimeDoc);
    vt::def(g, "holding_period",
            vt::signature({vt::arg("time_").ann("pd.Series")}, "float"),
            metrics::holding_period, kHoldingPeriodDoc);
    g["percentile"] = vt::make_function(
        g, "percentile", vt::signature({vt::arg("n").typed("float")}), metrics::percentile,
        kPercentileDoc, metrics::make_percentile_prototype(g));
    vt::def(g, "sharpe_ratio",
            vt::signature({vt::arg("returns").ann("np.array"),
                           vt::arg("days").typed("int").def(252)},
                          "float"),
            metrics::sharpe_ratio);
    vt::def(g, "information_ratio",
            vt::signature({vt::arg("returns").ann("np.array"),
                           vt::arg("benchmark_returns").ann("np.array"),
                           vt::arg("days").typed("int").def(252)},
                          "float"),
            metrics::information_ratio);
    vt::def(g, "modigliani_ratio",
            vt::signature({vt::arg("returns").ann("np.array"), vt::arg("benchmark_returns"),
                           vt::arg("days").def(252)},
                          "float"),
            metrics::modigliani_ratio);
    g["rolling_maximum_drawdown"] = vt::make_function(
        g, "rolling_maximum_drawdown",
        vt::signature({vt::arg("portfolio_value").ann("np.array"),
                       vt::arg("window").typed("int").def(252)},
                      "float"),
        metrics::rolling_maximum_drawdown, kDrawdownDoc, metrics::drawdown_closure());
}
