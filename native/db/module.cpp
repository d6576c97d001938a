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

    vt::def(g, "_db_path", vt::signature({}, "str"), db_path);

    auto self_only = vt::signature({vt::arg("self")});
    auto table_kwargs = vt::signature(
        {vt::arg("self"), vt::arg("table_name").typed("str"), vt::starstar("kwargs")});

    vt::ClassBuilder cls(g, "DB");
    cls.method("__init__", self_only, db_init)
        .method("close", self_only, db_close)
        .method("commit", self_only, db_commit)
        .method("execute",
                vt::signature({vt::arg("self"), vt::arg("sql").typed("str"),
                               vt::arg("parameters").ann("Iterable").def(py::none())}),
                db_execute)
        .method("_parse_sql_value",
                vt::signature({vt::arg("self"),
                               vt::arg("value").ann("Union[str, float, int, datetime]")}),
                parse_sql_value)
        .method("_parse_sql_where_condition",
                vt::signature({vt::arg("self"), vt::starstar("kwargs")}),
                parse_sql_where_condition)
        .method("create_balance_table", self_only, create_balance_table)
        .method("create_position_table", self_only, create_position_table)
        .method("create_order_table", self_only, create_order_table)
        .method("create_deal_table", self_only, create_deal_table)
        .method("delete_table",
                vt::signature({vt::arg("self"), vt::arg("table_name").typed("str")}),
                delete_table)
        .method("select_records",
                vt::signature({vt::arg("self"), vt::arg("table_name").typed("str"),
                               vt::arg("columns").typed("List[str]").def(py::none()),
                               vt::starstar("kwargs")}),
                select_records)
        .method("update_records",
                vt::signature({vt::arg("self"), vt::arg("table_name").typed("str"),
                               vt::arg("columns").typed("Dict[str, Any]"),
                               vt::starstar("kwargs")}),
                update_records)
        .method("insert_records", table_kwargs, insert_records)
        .method("delete_records", table_kwargs, delete_records);
    g["DB"] = cls.build();
}
