// orvelkit.base's names: the strings its code reads by key ("db_user"_n), each made once at
// initialisation, and what stands at each line of the module's source, for the statements and
// records that report those lines.
#pragma once

#include "frame/string_table.h"

namespace orvelkit::base {

using frame::ident;
using frame::Name;
using frame::text;

inline constexpr frame::NameRow names[] = {
    text("module_name", "orvelkit.base"),
    ident("sqlalchemy"),
    ident("create_engine"),
    ident("os"),
    text("sql_query_module", "llama_index.indices.struct_store.sql_query"),
    ident("NLSQLTableQueryEngine"),
    ident("llama_index"),
    ident("SQLDatabase"),
    text("llama_index_llms", "llama_index.llms"),
    ident("OpenAI"),
    ident("ServiceContext"),
    text("indices_module", "llama_index.indices"),
    text("core_query_engine_module", "llama_index.core.query_engine"),
    text("llama_index_core", "llama_index.core"),
    text("llms_openai_module", "llama_index.llms.openai"),
    ident("MySQLDatabaseConnector"),
    ident("self"),
    ident("db_user"),
    ident("db_password"),
    ident("db_host"),
    ident("db_name"),
    ident("uri"),
    ident("db_engine"),
    ident("e"),
    ident("db"),
    ident("connection_status"),
    ident("connected"),
    ident("message"),
    ident("str"),
    text("credentials_missing", "All database credentials must be provided"),
    text("connection_successful", "Connection successful"),
};

template <frame::FixedText Key>
consteval Name operator""_n() {
    return frame::find_name<names>(Key);
}

namespace line {
inline constexpr int import_create_engine = 1;
inline constexpr int import_os = 2;
inline constexpr int import_create_engine_again = 94;
inline constexpr int import_query_engine = 95;
inline constexpr int import_sql_database = 96;
inline constexpr int import_openai = 97;
inline constexpr int import_service_context = 98;
inline constexpr int class_connector = 100;

namespace init {
inline constexpr int def = 101;
inline constexpr int set_db_user = 102;
inline constexpr int set_db_password = 103;
inline constexpr int set_db_host = 104;
inline constexpr int set_db_name = 105;
inline constexpr int set_db = 106;
inline constexpr int set_connection_status = 107;
}  // namespace init

namespace connect {
inline constexpr int def = 109;
inline constexpr int check_credentials = 110;
inline constexpr int report_missing = 111;
inline constexpr int return_missing = 112;
inline constexpr int build_url = 115;
inline constexpr int create_engine = 116;
inline constexpr int make_database = 117;
inline constexpr int report_connected = 118;
inline constexpr int report_success = 119;
inline constexpr int except_error = 120;
inline constexpr int report_error = 121;
inline constexpr int return_status = 123;
}  // namespace connect

namespace getdbinstance {
inline constexpr int def = 125;
inline constexpr int check_credentials = 126;
inline constexpr int report_missing = 127;
inline constexpr int return_missing = 128;
inline constexpr int read_db = 131;
inline constexpr int build_url = 132;
inline constexpr int create_engine = 133;
inline constexpr int make_database = 134;
inline constexpr int except_error = 135;
inline constexpr int report_error = 136;
inline constexpr int return_db = 138;
}  // namespace getdbinstance
}  // namespace line

}  // namespace orvelkit::base
