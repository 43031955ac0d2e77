// orvelkit.tabloom's names: what stands at each line of the module's source, and the strings its
// code reads by key ("engine"_n), each made once at initialisation. A new function's lines go at
// the end of `line`, and the names it adds right below them, at the top of `names`.
#pragma once

#include "frame/string_table.h"

namespace orvelkit::tabloom {

using namespace orvelkit::frame;

// The lines the module's statements, bodies and records report.
namespace line {
inline constexpr int import_sqlalchemy = 1, import_inspect = 2, import_pandas = 3, import_os = 4,
                     import_pickle = 5, import_logging = 6, import_datetime = 7,
                     import_create_engine = 8, import_sqlalchemy_error = 9, load_url_work = 10,
                     set_up_logging = 14, class_tabloom = 16;
namespace init {
inline constexpr int def = 17, check_parameters = 19, refuse_missing = 20, build_url = 21,
                     set_engine = 22, set_cache_path = 23, set_cache_file = 24, set_up_logging = 25;
}  // namespace init
namespace connect {
inline constexpr int def = 27, create_engine = 29, probe = 31, log_connected = 33,
                     except_error = 34, log_error = 35, reraise = 36;
}  // namespace connect
namespace prepare_data {
inline constexpr int def = 39, cache_full_path = 40, cache_exists = 41, open_cache = 43,
                     load_cache = 44, except_load = 45, log_load_error = 46, check_engine = 48,
                     raise_not_connected = 49, start_list = 51, connect = 53, inspect = 54,
                     each_table = 55, read_table = 56, name_table = 57, append_table = 59,
                     write_cache = 60, dump_cache = 61, return_tables = 62, except_error = 64,
                     log_error = 65, return_empty = 66;
}  // namespace prepare_data
namespace print_table_schemas {
inline constexpr int def = 69, check_engine = 70, raise_not_connected = 71, inspect = 74,
                     each_table = 75, print_table = 76, each_column = 77, print_column = 78,
                     except_error = 79, log_error = 80, reraise = 81;
}  // namespace print_table_schemas
}  // namespace line

// A table read by key, not line by line: packed, and kept out of the formatter's
// one-row-a-line layout.
// clang-format off
inline constexpr NameRow names[] = {
    ident("sqlalchemy"), ident("inspect"), ident("pandas"),
    ident("pd"), ident("os"), ident("pickle"), ident("logging"), ident("datetime"),
    ident("timedelta"), ident("create_engine"), text("sqlalchemy_exc", "sqlalchemy.exc"),
    ident("SQLAlchemyError"), ident("all"), ident("ValueError"), ident("open"), ident("print"),
    ident("ConnectionError"), ident("MySQLDatabaseTabloom"), ident("connect"), ident("self"),
    ident("username"), ident("password"), ident("host"), ident("database"), ident("cache_path"),
    ident("cache_file"), ident("conn"), ident("e"), ident("cache_full_path"), ident("file"),
    ident("dataframes"), ident("connection"), ident("inspector"), ident("table_name"), ident("df"),
    ident("column"), ident("basicConfig"), ident("INFO"), ident("level"), ident("format"),
    ident("connection_string"), ident("engine"), ident("info"), ident("error"), ident("path"),
    ident("join"), ident("exists"), ident("load"), ident("dump"), ident("read_sql_table"),
    ident("get_table_names"), ident("get_columns"), ident("name"), ident("type"), ident("attrs"),
    ident("DataFrame"), ident("flush"), ident("user"),
    text("log_format", "%(asctime)s - %(levelname)s - %(message)s"),
    text("default_cache_path", "."), text("default_cache_file", "db_cache.pkl"),
    text("missing_parameters", "All connection parameters must be provided and not None."),
    text("connected", "Successfully connected to the database."),
    text("connect_error_prefix", "Error connecting to the database: "), text("mode_rb", "rb"),
    text("mode_wb", "wb"), text("not_connected", "Database connection not established."),
    text("load_error_prefix", "Error loading cache: "),
    text("fetch_error_prefix", "Error fetching tables: "), text("table_prefix", "Table: "),
    text("column_indent", "  "), text("column_separator", ": "),
    text("schema_error_prefix", "Error fetching table schemas: "),
    text("table_name_key", "orvelkit.table_name"), text("refusing_prefix", "refusing to load "),
    text("owned_by_another_user", ": owned by another user"),
    text("writable_by_others", ": writable by group or others"),
    text("not_a_regular_file", ": not a regular file"),
    text("written_for_another_source", ": written for another user, host or database"),
    text("source_key", "orvelkit.source"),
    text("url_unreadable", "The connection URL cannot be read."),
};
// clang-format on

template <FixedText Key>
consteval Name operator""_n() {
    return find_name<names>(Key);
}

}  // namespace orvelkit::tabloom
