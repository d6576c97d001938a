// velmor_trader.plugins.sqlite3.db: the module body.
#include "db.h"

using namespace vtdb;

VT_MODULE(db, "velmor_trader.plugins.sqlite3.db", nullptr) {
    vt::import_module(g, "threading");
    vt::import_module(g, "sqlite3");
    vt::import_from(g, "datetime", {"datetime"});
    vt::import_from(g, "typing", {"Iterable", "List", "Dict", "Union", "Any"});
    vt::import_module(g, "pandas", "pd");
    vt::import_module(g, "numpy", "np");
    // One lock for every DB of the process: a statement and its commit, a
    // fetch, and close() each hold it.
    g["lock"] = g["threading"].attr("Lock")();

    vt::Members members;
    bind_connection(members);
    bind_render(members);
    bind_schema(members);
    bind_records(members);
    members.define(g, {"_db_path"});
    vt::ClassBuilder cls(g, "DB");
    members.define(cls, {"__init__", "close", "commit", "execute", "_parse_sql_value",
                         "_parse_sql_where_condition", "create_balance_table",
                         "create_position_table", "create_order_table", "create_deal_table",
                         "delete_table", "select_records", "update_records", "insert_records",
                         "delete_records"});
    members.check_all_defined();
    g["DB"] = cls.build();
}
