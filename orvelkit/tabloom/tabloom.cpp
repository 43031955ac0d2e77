// orvelkit.tabloom: the table-cache tool. Connects to one MySQL database through SQLAlchemy, loads
// every table into a DataFrame through a pickle cache file, and prints the tables' columns.
// Each function's body stands beside its record, and the module's statements close the file.
// Includes only the frame, this module's own headers and the standard library.
#include "frame/names.h"
#include "tabloom/cache_file.h"
#include "tabloom/state.h"

#include <cstddef>
#include <utility>

namespace orvelkit::tabloom {

// All but the entry is this file's own: with the state and the bodies out of every other file's
// reach, the compiler keeps the call path as short as it can.
namespace {

void make_tuples(ModuleState& base) {
    State& st = static_cast<State&>(base);
    keep(st.kw_level_format, make_tuple({st.s("level"_n), st.s("format"_n)}));
    keep(st.kw_level, make_tuple({st.s("level"_n)}));
}

void run_statements(Cursor& f);

constexpr ModuleDescriptor descriptor{
    .names = module_names<"tabloom">,
    .strings = rows_of<names>,
    .cached_builtins = cached_builtin_rows,
    .hooks = {.make_tuples = make_tuples, .run_statements = run_statements},
};

State g_state{descriptor};

using Functions = Definitions<descriptor, g_state>;

// ---- shared statement pieces ------------------------------------------------------------------

// logging.error(prefix + format(e, ""))
void log_error(const State& st, Name prefix, PyObject* e) {
    Ref error = attr(global(st, "logging"_n), st.s("error"_n));
    Ref text = format_empty(st, e);
    Ref message = concat({st.s(prefix), text});
    Ref ignored = call(error, {message});
}

// raise ConnectionError("Database connection not established."), the global read at this moment.
[[noreturn]] void raise_not_connected(const State& st) {
    Ref type = global(st, "ConnectionError"_n);
    Ref exception = call(type, {st.s("not_connected"_n)});
    raise_value(exception);
}

// inspect(self.engine): the global read first, then the engine as it is now.
Ref inspect_engine(const State& st, PyObject* self) {
    Ref inspect = global(st, "inspect"_n);
    Ref engine = attr(self, st.s("engine"_n));
    return call(inspect, {engine});
}

// ---- __init__ ---------------------------------------------------------------------------------

using InitArgs = Args<"self"_n, "username"_n, "password"_n, "host"_n, "database"_n, "cache_path"_n,
                      "cache_file"_n>;

Ref init_body(Cursor& f, InitArgs a) {
    const State& st = g_state;
    PyObject* self = a.get<"self"_n>();
    auto s = [&](Name r) { return st.s(r); };

    f.at(line::init::check_parameters);
    {
        // username, password, host and database: the arguments that must all be given.
        Ref parameters = make_list({a.get<"username"_n>(), a.get<"password"_n>(), a.get<"host"_n>(),
                                    a.get<"database"_n>()});
        Ref all_given = call(st.cached(B::all), {parameters});
        if (!truth(all_given)) {
            f.at(line::init::refuse_missing);
            Ref refusal = call(st.cached(B::ValueError), {s("missing_parameters"_n)});
            raise_value(refusal);
        }
    }
    f.at(line::init::build_url);
    {
        Ref user = format_empty(st, a.get<"username"_n>());
        Ref password = format_empty(st, a.get<"password"_n>());
        Ref host = format_empty(st, a.get<"host"_n>());
        Ref database = format_empty(st, a.get<"database"_n>());
        Ref url = st.urls.build(user.get(), password.get(), host.get(), database.get());
        set_attr(self, s("connection_string"_n), url);
    }
    f.at(line::init::set_engine);
    set_attr(self, s("engine"_n), Py_None);
    f.at(line::init::set_cache_path);
    set_attr(self, s("cache_path"_n), a.get<"cache_path"_n>());
    f.at(line::init::set_cache_file);
    set_attr(self, s("cache_file"_n), a.get<"cache_file"_n>());
    f.at(line::init::set_up_logging);
    {
        Ref basic_config = attr(global(st, "logging"_n), s("basicConfig"_n));
        Ref level = attr(global(st, "logging"_n), s("INFO"_n));
        Ref ignored = call_kw(basic_config, {level}, st.kw_level);
    }
    return none();
}

constexpr FunctionRecord tabloom_init{
    .qualname = "MySQLDatabaseTabloom.__init__",
    .line = line::init::def,
    .defaults = {"default_cache_path"_n, "default_cache_file"_n},
    .body = body_of<init_body>,
};

// ---- connect ----------------------------------------------------------------------------------

Ref connect_body(Cursor& f, Args<"self"_n> a) {
    const State& st = g_state;
    PyObject* self = a.get<"self"_n>();
    auto s = [&](Name r) { return st.s(r); };

    try_except(
        f,
        [&] {
            f.at(line::connect::create_engine);
            {
                Ref create_engine = global(st, "create_engine"_n);
                Ref url = attr(self, s("connection_string"_n));
                Ref engine = call(create_engine, {url});
                set_attr(self, s("engine"_n), engine);
            }
            f.at(line::connect::probe);
            {
                Ref engine = attr(self, s("engine"_n));
                Ref probe = call_method(engine, s("connect"_n));
                // Opening one connection and handing it back is the whole proof.
                with_block(f, line::connect::probe, probe, [](PyObject*) {});
            }
            f.at(line::connect::log_connected);
            {
                Ref info = attr(global(st, "logging"_n), s("info"_n));
                Ref ignored = call(info, {s("connected"_n)});
            }
        },
        line::connect::except_error,
        [&](ExceptHandler& handler) {
            PyObject* e = handler.value();
            f.at(line::connect::log_error);
            log_error(st, "connect_error_prefix"_n, e);
            f.at(line::connect::reraise);
            handler.reraise();
        },
        [&] { return pending_matches_global(st, s("SQLAlchemyError"_n)); });
    return none();
}

constexpr FunctionRecord tabloom_connect{
    .qualname = "MySQLDatabaseTabloom.connect",
    .line = line::connect::def,
    .locals = {"conn"_n, "e"_n},
    .body = body_of<connect_body>,
};

// ---- prepare_data -----------------------------------------------------------------------------

Ref prepare_data_body(Cursor& f, Args<"self"_n> a) {
    const State& st = g_state;
    PyObject* self = a.get<"self"_n>();
    auto s = [&](Name r) { return st.s(r); };

    f.at(line::prepare_data::cache_full_path);
    Ref cache_full_path = [&] {
        Ref os_path = attr(global(st, "os"_n), s("path"_n));
        Ref join = attr(os_path, s("join"_n));
        Ref directory = attr(self, s("cache_path"_n));
        Ref name = attr(self, s("cache_file"_n));
        return call(join, {directory, name});
    }();
    f.at(line::prepare_data::cache_exists);
    bool cached = [&] {
        Ref os_path = attr(global(st, "os"_n), s("path"_n));
        Ref exists = attr(os_path, s("exists"_n));
        return truth(call(exists, {cache_full_path}));
    }();
    if (cached) {
        if (Ref served = try_except(
                f,
                [&] {
                    Ref loaded;
                    f.at(line::prepare_data::open_cache);
                    Ref reader = open_cache_for_reading(st, cache_full_path.get());
                    with_block(f, line::prepare_data::open_cache, reader, [&](PyObject* file) {
                        f.at(line::prepare_data::load_cache);
                        Ref load = attr(global(st, "pickle"_n), s("load"_n));
                        loaded = call(load, {file});
                    });
                    f.at(line::prepare_data::load_cache);
                    if (loaded &&
                        cache_is_servable(st, self, cache_full_path.get(), loaded.get())) {
                        restore_table_names(st, loaded.get());
                        return loaded;
                    }
                    return Ref();
                },
                line::prepare_data::except_load,
                [&](ExceptHandler& handler) {
                    PyObject* e = handler.value();
                    f.at(line::prepare_data::log_load_error);
                    log_error(st, "load_error_prefix"_n, e);
                })) {
            return served;
        }
    }

    f.at(line::prepare_data::check_engine);
    if (!truth(attr(self, s("engine"_n)))) {
        f.at(line::prepare_data::raise_not_connected);
        raise_not_connected(st);
    }
    f.at(line::prepare_data::start_list);
    Ref dataframes = new_list();
    return try_except(
        f,
        [&] {
            f.at(line::prepare_data::connect);
            Ref source = source_of(st, self);
            Ref engine = attr(self, s("engine"_n));
            Ref opened = call_method(engine, s("connect"_n));
            with_block(f, line::prepare_data::connect, opened, [&](PyObject* connection) {
                f.at(line::prepare_data::inspect);
                Ref inspector = inspect_engine(st, self);
                f.at(line::prepare_data::each_table);
                Ref names = call_method(inspector, s("get_table_names"_n));
                for_each(f, line::prepare_data::each_table, names, [&](PyObject* table_name) {
                    f.at(line::prepare_data::read_table);
                    Ref df = [&] {
                        Ref read_sql_table = attr(global(st, "pd"_n), s("read_sql_table"_n));
                        return call(read_sql_table, {table_name, connection});
                    }();
                    f.at(line::prepare_data::name_table);
                    name_table(st, df.get(), table_name, source.get());
                    f.at(line::prepare_data::append_table);
                    append(dataframes, df);
                });
            });
            write_cache(f, st, cache_full_path.get(), dataframes.get());
            f.at(line::prepare_data::return_tables);
            return std::move(dataframes);
        },
        line::prepare_data::except_error,
        [&](ExceptHandler& handler) {
            PyObject* e = handler.value();
            f.at(line::prepare_data::log_error);
            log_error(st, "fetch_error_prefix"_n, e);
            f.at(line::prepare_data::return_empty);
            handler.reraise();
        });
}

constexpr FunctionRecord tabloom_prepare_data{
    .qualname = "MySQLDatabaseTabloom.prepare_data",
    .line = line::prepare_data::def,
    .locals = {"cache_full_path"_n, "file"_n, "e"_n, "dataframes"_n, "connection"_n, "inspector"_n,
               "table_name"_n, "df"_n},
    .body = body_of<prepare_data_body>,
};

// ---- print_table_schemas ----------------------------------------------------------------------

Ref print_table_schemas_body(Cursor& f, Args<"self"_n> a) {
    const State& st = g_state;
    PyObject* self = a.get<"self"_n>();
    auto s = [&](Name r) { return st.s(r); };

    f.at(line::print_table_schemas::check_engine);
    if (!truth(attr(self, s("engine"_n)))) {
        f.at(line::print_table_schemas::raise_not_connected);
        raise_not_connected(st);
    }
    try_except(
        f,
        [&] {
            f.at(line::print_table_schemas::inspect);
            Ref inspector = inspect_engine(st, self);
            f.at(line::print_table_schemas::each_table);
            Ref names = call_method(inspector, s("get_table_names"_n));
            for_each(f, line::print_table_schemas::each_table, names, [&](PyObject* table_name) {
                f.at(line::print_table_schemas::print_table);
                {
                    Ref shown = format_empty(st, table_name);
                    Ref line = concat({s("table_prefix"_n), shown});
                    Ref ignored = call(st.cached(B::print), {line});
                }
                f.at(line::print_table_schemas::each_column);
                Ref columns = call_method(inspector, s("get_columns"_n), {table_name});
                for_each(f, line::print_table_schemas::each_column, columns, [&](PyObject* column) {
                    f.at(line::print_table_schemas::print_column);
                    Ref name = item(column, s("name"_n));
                    Ref name_text = format_empty(st, name);
                    Ref type = item(column, s("type"_n));
                    Ref type_text = format_empty(st, type);
                    Ref line = concat(
                        {s("column_indent"_n), name_text, s("column_separator"_n), type_text});
                    Ref ignored = call(st.cached(B::print), {line});
                });
            });
        },
        line::print_table_schemas::except_error,
        [&](ExceptHandler& handler) {
            PyObject* e = handler.value();
            f.at(line::print_table_schemas::log_error);
            log_error(st, "schema_error_prefix"_n, e);
            f.at(line::print_table_schemas::reraise);
            handler.reraise();
        });
    return none();
}

constexpr FunctionRecord tabloom_print_table_schemas{
    .qualname = "MySQLDatabaseTabloom.print_table_schemas",
    .line = line::print_table_schemas::def,
    .locals = {"inspector"_n, "table_name"_n, "column"_n, "e"_n},
    .body = body_of<print_table_schemas_body>,
};

// ---- module statements ------------------------------------------------------------------------

void run_statements(Cursor& f) {
    State& st = g_state;
    auto s = [&](Name r) { return st.s(r); };
    auto g = [&](Name r) { return global(st, r); };

    f.at(line::import_sqlalchemy);
    set_global(st, s("sqlalchemy"_n), import_module(st, s("sqlalchemy"_n)));
    f.at(line::import_inspect);
    import_from(st, s("sqlalchemy"_n), {s("inspect"_n)});
    f.at(line::import_pandas);
    set_global(st, s("pd"_n), import_module(st, s("pandas"_n)));
    f.at(line::import_os);
    set_global(st, s("os"_n), import_module(st, s("os"_n)));
    f.at(line::import_pickle);
    set_global(st, s("pickle"_n), import_module(st, s("pickle"_n)));
    f.at(line::import_logging);
    set_global(st, s("logging"_n), import_module(st, s("logging"_n)));
    f.at(line::import_datetime);
    import_from(st, s("datetime"_n), {s("datetime"_n), s("timedelta"_n)});
    f.at(line::import_create_engine);
    import_from(st, s("sqlalchemy"_n), {s("create_engine"_n), s("inspect"_n)});
    f.at(line::import_sqlalchemy_error);
    import_from(st, s("sqlalchemy_exc"_n), {s("SQLAlchemyError"_n)});
    f.at(line::load_url_work);
    st.urls.load(st, st.cached(B::ValueError));

    f.at(line::set_up_logging);
    {
        Ref basic_config = attr(g("logging"_n), s("basicConfig"_n));
        Ref level = attr(g("logging"_n), s("INFO"_n));
        Ref ignored = call_kw(basic_config, {level, s("log_format"_n)}, st.kw_level_format);
    }

    plain_class_statement(f, st, s("MySQLDatabaseTabloom"_n), line::class_tabloom,
                          [&](PyObject* ns) {
                              Functions::define<tabloom_init, tabloom_connect, tabloom_prepare_data,
                                                tabloom_print_table_schemas>(f, ns);
                          });
}

}  // namespace

// The module's entry: C linkage, and the only symbol the library exports.
PyMODINIT_FUNC PyInit_tabloom() { return module_definition<g_state>(); }

}  // namespace orvelkit::tabloom
