// The four tables every DB makes sure of when it is built.
#include "db.h"

namespace vtdb {

// In the order the create_*_table methods are bound.
static constexpr const char *kTables[] = {
    "CREATE TABLE IF NOT EXISTS balance ("
    "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "broker_name VARCHAR(20) NOT NULL, "
    "broker_environment VARCHAR(20) NOT NULL, "
    "broker_account_id INTEGER NOT NULL, "
    "broker_account VARCHAR(20) NOT NULL, "
    "strategy_account_id INTEGER NOT NULL, "
    "strategy_account VARCHAR(20) NOT NULL, "
    "strategy_version VARCHAR(20) NOT NULL, "
    "strategy_version_desc VARCHAR(300), "
    "strategy_status VARCHAR(15), "
    "cash DOUBLE NOT NULL, "
    "cash_by_currency VARCHAR(50), "
    "available_cash DOUBLE NOT NULL, "
    "max_power_short DOUBLE, "
    "net_cash_power DOUBLE, "
    "maintenance_margin DOUBLE, "
    "unrealized_pnl DOUBLE, "
    "realized_pnl DOUBLE, "
    "update_time DATETIME NOT NULL, "
    "remark VARCHAR(300))",
    "CREATE TABLE IF NOT EXISTS position ("
    "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "balance_id INTEGER NOT NULL, "
    "security_name VARCHAR(20) NOT NULL, "
    "security_code VARCHAR(20) NOT NULL, "
    "direction VARCHAR(20) NOT NULL, "
    "holding_price DOUBLE NOT NULL, "
    "quantity INTEGER NOT NULL, "
    "update_time DATETIME NOT NULL, "
    "remark VARCHAR(300))",
    "CREATE TABLE IF NOT EXISTS trading_order ("
    "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "broker_order_id VARCHAR(50) NOT NULL, "
    "balance_id INTEGER NOT NULL, "
    "security_name VARCHAR(20) NOT NULL, "
    "security_code VARCHAR(20) NOT NULL, "
    "price DOUBLE NOT NULL, "
    "quantity INTEGER NOT NULL, "
    "direction VARCHAR(20) NOT NULL, "
    "offset VARCHAR(20) NOT NULL, "
    "order_type VARCHAR(20) NOT NULL, "
    "create_time DATETIME NOT NULL, "
    "update_time DATETIME NOT NULL, "
    "filled_avg_price DOUBLE NOT NULL, "
    "filled_quantity INTEGER NOT NULL, "
    "status VARCHAR(20) NOT NULL, "
    "remark VARCHAR(300))",
    "CREATE TABLE IF NOT EXISTS trading_deal ("
    "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "broker_deal_id VARCHAR(50) NOT NULL, "
    "broker_order_id VARCHAR(50) NOT NULL, "
    "order_id INTEGER NOT NULL, "
    "balance_id INTEGER NOT NULL, "
    "security_name VARCHAR(20) NOT NULL, "
    "security_code VARCHAR(20) NOT NULL, "
    "direction VARCHAR(20) NOT NULL, "
    "offset VARCHAR(20) NOT NULL, "
    "order_type VARCHAR(20) NOT NULL, "
    "update_time DATETIME NOT NULL, "
    "filled_avg_price DOUBLE NOT NULL, "
    "filled_quantity INTEGER NOT NULL, "
    "remark VARCHAR(300))",
};

template <std::size_t I>
static void create_table(py::handle self) { run(self, VT_ID(kTables[I])); }

void bind_schema(vt::Members &m) {
    m.add<create_table<0>>("create_balance_table", {vt::arg("self")});
    m.add<create_table<1>>("create_position_table", {vt::arg("self")});
    m.add<create_table<2>>("create_order_table", {vt::arg("self")});
    m.add<create_table<3>>("create_deal_table", {vt::arg("self")});
}

}  // namespace vtdb
