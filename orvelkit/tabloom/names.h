// orvelkit.tabloom's names: the strings its code reads by key ("engine"_n), each made once at
// initialisation, and what stands at each line of the module's source, for the statements and
// records that report those lines.
#pragma once

#include "frame/string_table.h"

namespace orvelkit::tabloom {

using frame::ident;
using frame::Name;
using frame::text;

inline constexpr frame::NameRow names[] = {
    text("module_name", "orvelkit.tabloom"),
    ident("sqlalchemy"),
    ident("inspect"),
    ident("pandas"),
    ident("pd"),
    ident("os"),
    ident("pickle"),
    ident("logging"),
    ident("datetime"),
    ident("timedelta"),
    ident("create_engine"),
    text("sqlalchemy_exc", "sqlalchemy.exc"),
    ident("SQLAlchemyError"),
    ident("all"),
    ident("ValueError"),
    ident("open"),
    ident("print"),
    ident("ConnectionError"),
    ident("MySQLDatabaseTabloom"),
    ident("connect"),
    ident("self"),
    ident("username"),
    ident("password"),
    ident("host"),
    ident("database"),
    ident("cache_path"),
    ident("cache_file"),
    ident("conn"),
    ident("e"),
    ident("cache_full_path"),
    ident("file"),
    ident("dataframes"),
    ident("connection"),
    ident("inspector"),
    ident("table_name"),
    ident("df"),
    ident("column"),
    ident("basicConfig"),
    ident("INFO"),
    ident("level"),
    ident("format"),
    ident("connection_string"),
    ident("engine"),
    ident("info"),
    ident("error"),
    ident("path"),
    ident("join"),
    ident("exists"),
    ident("load"),
    ident("dump"),
    ident("read_sql_table"),
    ident("get_table_names"),
    ident("get_columns"),
    ident("name"),
    ident("type"),
    ident("attrs"),
    ident("DataFrame"),
    ident("flush"),
    ident("user"),
    text("log_format", "%(asctime)s - %(levelname)s - %(message)s"),
    text("default_cache_path", "."),
    text("default_cache_file", "db_cache.pkl"),
    text("missing_parameters", "All connection parameters must be provided and not None."),
    text("connected", "Successfully connected to the database."),
    text("connect_error_prefix", "Error connecting to the database: "),
    text("mode_rb", "rb"),
    text("mode_wb", "wb"),
    text("not_connected", "Database connection not established."),
    text("load_error_prefix", "Error loading cache: "),
    text("fetch_error_prefix", "Error fetching tables: "),
    text("table_prefix", "Table: "),
    text("column_indent", "  "),
    text("column_separator", ": "),
    text("schema_error_prefix", "Error fetching table schemas: "),
    text("table_name_key", "orvelkit.table_name"),
    text("refusing_prefix", "refusing to load "),
    text("owned_by_another_user", ": owned by another user"),
    text("writable_by_others", ": writable by group or others"),
    text("not_a_regular_file", ": not a regular file"),
    text("written_for_another_source", ": written for another user, host or database"),
    text("source_key", "orvelkit.source"),
    text("url_unreadable", "The connection URL cannot be read."),
};

template <frame::FixedText Key>
consteval Name operator""_n() {
    return frame::find_name<names>(Key);
}

namespace line {
inline constexpr int import_sqlalchemy = 1;
inline constexpr int import_inspect = 2;
inline constexpr int import_pandas = 3;
inline constexpr int import_os = 4;
inline constexpr int import_pickle = 5;
inline constexpr int import_logging = 6;
inline constexpr int import_datetime = 7;
inline constexpr int import_create_engine = 8;
inline constexpr int import_sqlalchemy_error = 9;
inline constexpr int load_url_work = 10;
inline constexpr int set_up_logging = 14;
inline constexpr int class_tabloom = 16;

namespace init {
inline constexpr int def = 17;
inline constexpr int check_parameters = 19;
inline constexpr int refuse_missing = 20;
inline constexpr int build_url = 21;
inline constexpr int set_engine = 22;
inline constexpr int set_cache_path = 23;
inline constexpr int set_cache_file = 24;
inline constexpr int set_up_logging = 25;
}  // namespace init

namespace connect {
inline constexpr int def = 27;
inline constexpr int create_engine = 29;
inline constexpr int probe = 31;
inline constexpr int log_connected = 33;
inline constexpr int except_error = 34;
inline constexpr int log_error = 35;
inline constexpr int reraise = 36;
}  // namespace connect

namespace prepare_data {
inline constexpr int def = 39;
inline constexpr int cache_full_path = 40;
inline constexpr int cache_exists = 41;
inline constexpr int open_cache = 43;
inline constexpr int load_cache = 44;
inline constexpr int except_load = 45;
inline constexpr int log_load_error = 46;
inline constexpr int check_engine = 48;
inline constexpr int raise_not_connected = 49;
inline constexpr int start_list = 51;
inline constexpr int connect = 53;
inline constexpr int inspect = 54;
inline constexpr int each_table = 55;
inline constexpr int read_table = 56;
inline constexpr int name_table = 57;
inline constexpr int append_table = 59;
inline constexpr int write_cache = 60;
inline constexpr int dump_cache = 61;
inline constexpr int return_tables = 62;
inline constexpr int except_error = 64;
inline constexpr int log_error = 65;
inline constexpr int return_empty = 66;
}  // namespace prepare_data

namespace print_table_schemas {
inline constexpr int def = 69;
inline constexpr int check_engine = 70;
inline constexpr int raise_not_connected = 71;
inline constexpr int inspect = 74;
inline constexpr int each_table = 75;
inline constexpr int print_table = 76;
inline constexpr int each_column = 77;
inline constexpr int print_column = 78;
inline constexpr int except_error = 79;
inline constexpr int log_error = 80;
inline constexpr int reraise = 81;
}  // namespace print_table_schemas
}  // namespace line

}  // namespace orvelkit::tabloom
