// orvelkit.base's names: what stands at each line of the module's source, and the strings its
// code reads by key ("db_user"_n), each made once at initialisation. A new function's lines go at
// the end of `line`, and the names it adds right below them, at the top of `names`.
#pragma once

#include "frame/string_table.h"

namespace orvelkit::base {

using namespace orvelkit::frame;

// The lines the module's statements, bodies and records report.
namespace line {
inline constexpr int import_create_engine = 1, import_os = 2, import_create_engine_again = 94,
                     import_query_engine = 95, import_sql_database = 96, import_openai = 97,
                     import_service_context = 98, class_connector = 100;
namespace init {
inline constexpr int def = 101, set_db_user = 102, set_db_password = 103, set_db_host = 104,
                     set_db_name = 105, set_db = 106, set_connection_status = 107;
}  // namespace init
namespace connect {
inline constexpr int def = 109, check_credentials = 110, report_missing = 111, return_missing = 112,
                     build_url = 115, create_engine = 116, make_database = 117,
                     report_connected = 118, report_success = 119, except_error = 120,
                     report_error = 121, return_status = 123;
}  // namespace connect
namespace getdbinstance {
inline constexpr int def = 125, check_credentials = 126, report_missing = 127, return_missing = 128,
                     read_db = 131, build_url = 132, create_engine = 133, make_database = 134,
                     except_error = 135, report_error = 136, return_db = 138;
}  // namespace getdbinstance
}  // namespace line

// A table read by key, not line by line: packed, and kept out of the formatter's
// one-row-a-line layout.
// clang-format off
inline constexpr NameRow names[] = {
    ident("sqlalchemy"), ident("create_engine"), ident("os"),
    text("sql_query_module", "llama_index.indices.struct_store.sql_query"),
    ident("NLSQLTableQueryEngine"), ident("llama_index"), ident("SQLDatabase"),
    text("llama_index_llms", "llama_index.llms"), ident("OpenAI"), ident("ServiceContext"),
    text("indices_module", "llama_index.indices"),
    text("core_query_engine_module", "llama_index.core.query_engine"),
    text("llama_index_core", "llama_index.core"),
    text("llms_openai_module", "llama_index.llms.openai"), ident("MySQLDatabaseConnector"),
    ident("self"), ident("db_user"), ident("db_password"), ident("db_host"), ident("db_name"),
    ident("uri"), ident("db_engine"), ident("e"), ident("db"), ident("connection_status"),
    ident("connected"), ident("message"), ident("str"),
    text("credentials_missing", "All database credentials must be provided"),
    text("connection_successful", "Connection successful"),
};
// clang-format on

template <FixedText Key>
consteval Name operator""_n() {
    return find_name<names>(Key);
}

}  // namespace orvelkit::base
