// orvelkit.tabloom: the table-cache tool. Connects to one MySQL database through SQLAlchemy, loads
// every table into a DataFrame through a pickle cache file, and prints the tables' columns.
// Includes only the frame, the connection URL work, the standard library and the POSIX file calls
// the cache needs.
#include "frame/names.h"
#include "frame/record.h"
#include "mysql/connection_url.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

namespace {

using namespace orvelkit::frame;
using orvelkit::mysql::ConnectionUrls;

// ---- string table -----------------------------------------------------------------------------

enum class S : std::size_t {
    module_name,
    // imports
    sqlalchemy,
    inspect,
    pandas,
    pd,
    os,
    pickle,
    logging,
    datetime,
    timedelta,
    create_engine,
    sqlalchemy_exc,
    SQLAlchemyError,
    // builtins
    all,
    ValueError,
    open,
    print,
    ConnectionError,
    // the class and its functions
    MySQLDatabaseTabloom,
    connect,
    // parameters and locals
    self,
    username,
    password,
    host,
    database,
    cache_path,
    cache_file,
    conn,
    e,
    cache_full_path,
    file,
    dataframes,
    connection,
    inspector,
    table_name,
    df,
    column,
    // attributes and keywords
    basicConfig,
    INFO,
    level,
    format,
    connection_string,
    engine,
    info,
    error,
    path,
    join,
    exists,
    load,
    dump,
    read_sql_table,
    get_table_names,
    get_columns,
    name,
    type,
    attrs,
    DataFrame,
    flush,
    user,
    // literals
    log_format,
    default_cache_path,
    default_cache_file,
    missing_parameters,
    connected,
    connect_error_prefix,
    mode_rb,
    mode_wb,
    not_connected,
    load_error_prefix,
    fetch_error_prefix,
    table_prefix,
    column_indent,
    column_separator,
    schema_error_prefix,
    table_name_key,
    refusing_prefix,
    owned_by_another_user,
    writable_by_others,
    not_a_regular_file,
    written_for_another_source,
    source_key,
    url_unreadable,
    count,
};

constexpr NamedRow<S> string_table[] = {
    {S::module_name, text("orvelkit.tabloom")},
    {S::sqlalchemy, ident("sqlalchemy")},
    {S::inspect, ident("inspect")},
    {S::pandas, ident("pandas")},
    {S::pd, ident("pd")},
    {S::os, ident("os")},
    {S::pickle, ident("pickle")},
    {S::logging, ident("logging")},
    {S::datetime, ident("datetime")},
    {S::timedelta, ident("timedelta")},
    {S::create_engine, ident("create_engine")},
    {S::sqlalchemy_exc, text("sqlalchemy.exc")},
    {S::SQLAlchemyError, ident("SQLAlchemyError")},
    {S::all, ident("all")},
    {S::ValueError, ident("ValueError")},
    {S::open, ident("open")},
    {S::print, ident("print")},
    {S::ConnectionError, ident("ConnectionError")},
    {S::MySQLDatabaseTabloom, ident("MySQLDatabaseTabloom")},
    {S::connect, ident("connect")},
    {S::self, ident("self")},
    {S::username, ident("username")},
    {S::password, ident("password")},
    {S::host, ident("host")},
    {S::database, ident("database")},
    {S::cache_path, ident("cache_path")},
    {S::cache_file, ident("cache_file")},
    {S::conn, ident("conn")},
    {S::e, ident("e")},
    {S::cache_full_path, ident("cache_full_path")},
    {S::file, ident("file")},
    {S::dataframes, ident("dataframes")},
    {S::connection, ident("connection")},
    {S::inspector, ident("inspector")},
    {S::table_name, ident("table_name")},
    {S::df, ident("df")},
    {S::column, ident("column")},
    {S::basicConfig, ident("basicConfig")},
    {S::INFO, ident("INFO")},
    {S::level, ident("level")},
    {S::format, ident("format")},
    {S::connection_string, ident("connection_string")},
    {S::engine, ident("engine")},
    {S::info, ident("info")},
    {S::error, ident("error")},
    {S::path, ident("path")},
    {S::join, ident("join")},
    {S::exists, ident("exists")},
    {S::load, ident("load")},
    {S::dump, ident("dump")},
    {S::read_sql_table, ident("read_sql_table")},
    {S::get_table_names, ident("get_table_names")},
    {S::get_columns, ident("get_columns")},
    {S::name, ident("name")},
    {S::type, ident("type")},
    {S::attrs, ident("attrs")},
    {S::DataFrame, ident("DataFrame")},
    {S::flush, ident("flush")},
    {S::user, ident("user")},
    {S::log_format, text("%(asctime)s - %(levelname)s - %(message)s")},
    {S::default_cache_path, text(".")},
    {S::default_cache_file, text("db_cache.pkl")},
    {S::missing_parameters, text("All connection parameters must be provided and not None.")},
    {S::connected, text("Successfully connected to the database.")},
    {S::connect_error_prefix, text("Error connecting to the database: ")},
    {S::mode_rb, text("rb")},
    {S::mode_wb, text("wb")},
    {S::not_connected, text("Database connection not established.")},
    {S::load_error_prefix, text("Error loading cache: ")},
    {S::fetch_error_prefix, text("Error fetching tables: ")},
    {S::table_prefix, text("Table: ")},
    {S::column_indent, text("  ")},
    {S::column_separator, text(": ")},
    {S::schema_error_prefix, text("Error fetching table schemas: ")},
    {S::table_name_key, text("orvelkit.table_name")},
    {S::refusing_prefix, text("refusing to load ")},
    {S::owned_by_another_user, text(": owned by another user")},
    {S::writable_by_others, text(": writable by group or others")},
    {S::not_a_regular_file, text(": not a regular file")},
    {S::written_for_another_source, text(": written for another user, host or database")},
    {S::source_key, text("orvelkit.source")},
    {S::url_unreadable, text("The connection URL cannot be read.")},
};
static_assert(rows_in_order(string_table), "string_table rows must follow the order of S");
constexpr auto string_rows = rows_of(string_table);

// Builtins the module never assigns, read once at initialisation: replacing them later, in the
// module's namespace or in builtins, changes nothing here.
enum class B : std::size_t { all, ValueError, open, print, count };
constexpr std::size_t cached_builtin_rows[] = {row(S::all), row(S::ValueError), row(S::open),
                                               row(S::print)};
static_assert(std::size(cached_builtin_rows) == static_cast<std::size_t>(B::count));

// ---- module state -----------------------------------------------------------------------------

void make_tuples(ModuleState& st);
void run_statements(Frame& frame);

constexpr ModuleDescriptor descriptor{
    .short_name = "tabloom",
    .full_name = "orvelkit.tabloom",
    .file_name = "orvelkit\\tabloom",
    .strings = string_rows,
    .cached_builtins = cached_builtin_rows,
    .registers_coroutine = false,
    .make_numbers = nullptr,
    .make_tuples = make_tuples,
    .ready_types = nullptr,
    .run_statements = run_statements,
};

// The module's own fields after the frame's; each holds one reference for the process.
struct State : ModuleState {
    using ModuleState::ModuleState;
    PyObject* kw_level_format = nullptr;  // ("level", "format")
    PyObject* kw_level = nullptr;         // ("level",)
    // The URL work, with urllib.parse.quote and sqlalchemy.engine.make_url kept in it rather than
    // in the namespace: what encodes the credentials and what proves the URL reads back as given
    // must not be something a caller can swap out by assigning a module global.
    ConnectionUrls urls;
};

State g_state{descriptor};

State& state_of(ModuleState& st) { return static_cast<State&>(st); }

void make_tuples(ModuleState& base) {
    State& st = state_of(base);
    keep(st.kw_level_format, make_tuple({st.s(S::level), st.s(S::format)}));
    keep(st.kw_level, make_tuple({st.s(S::level)}));
}

// ---- shared statement pieces ------------------------------------------------------------------

// logging.error(prefix + format(e, ""))
void log_error(const State& st, S prefix, PyObject* e) {
    Ref error = attr(global(st, S::logging).get(), st.s(S::error));
    Ref text = format_empty(st, e);
    Ref message = concat({st.s(prefix), text.get()});
    Ref ignored = call(error.get(), {message.get()});
}

// raise ConnectionError("Database connection not established."), the global read at this moment.
[[noreturn]] void raise_not_connected(const State& st) {
    Ref type = global(st, S::ConnectionError);
    Ref exception = call(type.get(), {st.s(S::not_connected)});
    raise_value(exception.get());
}

// inspect(self.engine): the global read first, then the engine as it is now.
Ref inspect_engine(const State& st, PyObject* self) {
    Ref inspect = global(st, S::inspect);
    Ref engine = attr(self, st.s(S::engine));
    return call(inspect.get(), {engine.get()});
}

// ---- the connection URL -----------------------------------------------------------------------

// {"user": ..., "host": ..., "database": ...} of the tool's URL as SQLAlchemy reads it: where the
// tables come from, recorded with them in the cache. Never the password.
Ref source_of(const State& st, PyObject* self) {
    Ref url = attr(self, st.s(S::connection_string));
    const ConnectionUrls::Parts parts = st.urls.read(url.get(), st.s(S::url_unreadable));
    return new_dict({{st.s(S::user), parts.user.get()},
                     {st.s(S::host), parts.host.get()},
                     {st.s(S::database), parts.database.get()}});
}

// ---- __init__ ---------------------------------------------------------------------------------

// username, password, host and database: the arguments after self that must all be given.
constexpr Py_ssize_t credential_count = 4;

Ref init_body(Frame& f, PyObject* const* a) {
    const State& st = g_state;
    PyObject* self = a[0];
    auto s = [&](S r) { return st.s(r); };

    f.at(19);
    {
        Ref parameters = check(PyList_New(credential_count));
        for (Py_ssize_t i = 0; i < credential_count; ++i)
            PyList_SET_ITEM(parameters.get(), i, Py_NewRef(a[i + 1]));
        Ref all_given = call(st.cached(B::all), {parameters.get()});
        if (!truth(all_given.get())) {
            f.at(20);
            Ref refusal = call(st.cached(B::ValueError), {s(S::missing_parameters)});
            raise_value(refusal.get());
        }
    }
    f.at(21);
    {
        Ref user = format_empty(st, a[1]);
        Ref password = format_empty(st, a[2]);
        Ref host = format_empty(st, a[3]);
        Ref database = format_empty(st, a[4]);
        Ref url = st.urls.build(user.get(), password.get(), host.get(), database.get());
        set_attr(self, s(S::connection_string), url.get());
    }
    f.at(22);
    set_attr(self, s(S::engine), Py_None);
    f.at(23);
    set_attr(self, s(S::cache_path), a[5]);
    f.at(24);
    set_attr(self, s(S::cache_file), a[6]);
    f.at(25);
    {
        Ref basic_config = attr(global(st, S::logging).get(), s(S::basicConfig));
        Ref level = attr(global(st, S::logging).get(), s(S::INFO));
        Ref ignored = call_kw(basic_config.get(), {level.get()}, st.kw_level);
    }
    return none();
}

// ---- connect ----------------------------------------------------------------------------------

Ref connect_body(Frame& f, PyObject* const* a) {
    const State& st = g_state;
    PyObject* self = a[0];
    auto s = [&](S r) { return st.s(r); };

    try_except(
        f,
        [&] {
            f.at(29);
            {
                Ref create_engine = global(st, S::create_engine);
                Ref url = attr(self, s(S::connection_string));
                Ref engine = call(create_engine.get(), {url.get()});
                set_attr(self, s(S::engine), engine.get());
            }
            f.at(31);
            {
                Ref engine = attr(self, s(S::engine));
                Ref probe = call_method(engine.get(), s(S::connect));
                // Opening one connection and handing it back is the whole proof.
                with_block(f, 31, probe.get(), [](PyObject*) {});
            }
            f.at(33);
            {
                Ref info = attr(global(st, S::logging).get(), s(S::info));
                Ref ignored = call(info.get(), {s(S::connected)});
            }
        },
        34,
        [&](ExceptHandler& handler) {
            PyObject* e = handler.value();
            f.at(35);
            log_error(st, S::connect_error_prefix, e);
            f.at(36);
            handler.reraise();
        },
        [&] { return pending_matches_global(st, s(S::SQLAlchemyError)); });
    return none();
}

// ---- prepare_data: the cache file -------------------------------------------------------------

[[noreturn]] void raise_os_error(PyObject* filename) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw_error();
}

// A descriptor closed on every way out unless handed over to a file object.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const noexcept { return fd_; }
    void hand_over() noexcept { fd_ = -1; }

private:
    int fd_;
};

[[noreturn]] void refuse_cache(const State& st, PyObject* cache_full_path, S reason) {
    Ref shown = format_empty(st, cache_full_path);
    Ref message = concat({st.s(S::refusing_prefix), shown.get(), st.s(reason)});
    raise_object(PyExc_PermissionError, message.get());
}

// Opens the cache for reading, as a file object over a descriptor that has passed every check.
// The open never waits: anyone who can write the directory could put a FIFO there, which a plain
// open would wait on for a writer forever. Only a regular file is read, and only one this user
// wrote and nobody else could have changed since, as unpickling runs whatever code the file's
// author chose. The open descriptor is examined, not the path, so nothing can be swapped between
// the check and the load.
Ref open_cache_for_reading(const State& st, PyObject* cache_full_path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(cache_full_path, &encoded)) throw_error();
    Ref path_bytes = Ref::steal(encoded);
    int fd;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        fd = open(PyBytes_AS_STRING(encoded), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        Py_END_ALLOW_THREADS
        if (fd >= 0 || errno != EINTR) break;
        if (PyErr_CheckSignals() < 0) throw_error();
    }
    if (fd < 0) raise_os_error(cache_full_path);
    Descriptor descriptor{fd};
    struct stat info;
    if (fstat(fd, &info) != 0) raise_os_error(cache_full_path);
    if (!S_ISREG(info.st_mode)) refuse_cache(st, cache_full_path, S::not_a_regular_file);
    if (info.st_uid != geteuid()) refuse_cache(st, cache_full_path, S::owned_by_another_user);
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        refuse_cache(st, cache_full_path, S::writable_by_others);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) raise_os_error(cache_full_path);
    Ref number = check(PyLong_FromLong(fd));
    Ref file = call(st.cached(B::open), {number.get(), st.s(S::mode_rb)});
    descriptor.hand_over();
    return file;
}

// The record of a table's source that a loaded cache carries, or an empty Ref when the item is
// not a DataFrame with one (a file from before the record, or not a table). Held, not borrowed:
// an unpickled object's `attrs` may be a dict that nothing but this read keeps alive.
Ref recorded_source(const State& st, PyObject* frame_type, PyObject* table) {
    if (!check_status(PyObject_IsInstance(table, frame_type))) return Ref();
    Ref attrs = attr(table, st.s(S::attrs));
    if (!PyDict_Check(attrs.get())) return Ref();
    PyObject* found = PyDict_GetItemWithError(attrs.get(), st.s(S::source_key));
    if (!found && PyErr_Occurred()) throw_error();
    return Ref::borrow(found);
}

// Whether a loaded cache may be served. Tables recorded for another source make the file
// unloadable (PermissionError). An empty list carries no record, so it cannot show whose it is:
// it is never served, and the database, cheap to list when it has no tables, is read instead.
bool cache_is_servable(const State& st, PyObject* self, PyObject* cache_full_path,
                       PyObject* loaded) {
    if (!PyList_Check(loaded)) return true;
    if (PyList_GET_SIZE(loaded) == 0) return false;
    Ref frame_type = attr(global(st, S::pd).get(), st.s(S::DataFrame));
    Ref expected;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(loaded); ++i) {
        Ref table = Ref::borrow(PyList_GET_ITEM(loaded, i));
        Ref source = recorded_source(st, frame_type.get(), table.get());
        if (!source) continue;
        if (!expected) expected = source_of(st, self);
        if (!equal(source.get(), expected.get())) {
            refuse_cache(st, cache_full_path, S::written_for_another_source);
        }
    }
    return true;
}

// Attributes set on a DataFrame do not survive pickling; its attrs do. Each table name travels
// in attrs and is put back here, on the instance itself, never through DataFrame.__setattr__.
void restore_table_names(const State& st, PyObject* loaded) {
    if (!PyList_Check(loaded)) return;
    Ref frame_type = attr(global(st, S::pd).get(), st.s(S::DataFrame));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(loaded); ++i) {
        Ref table = Ref::borrow(PyList_GET_ITEM(loaded, i));
        if (!check_status(PyObject_IsInstance(table.get(), frame_type.get()))) continue;
        Ref attrs = attr(table.get(), st.s(S::attrs));
        if (!PyDict_Check(attrs.get())) continue;
        PyObject* found = PyDict_GetItemWithError(attrs.get(), st.s(S::table_name_key));
        if (!found) {
            if (PyErr_Occurred()) throw_error();
            continue;
        }
        Ref name = Ref::borrow(found);
        check_status(PyObject_GenericSetAttr(table.get(), st.s(S::name), name.get()));
    }
}

// df.name = table_name without DataFrame.__setattr__, which would overwrite a column called
// "name" with the table's name; plus, in attrs, which pickling keeps, a copy of the name and a
// record of the source each table was read from.
void name_table(const State& st, PyObject* df, PyObject* table_name, PyObject* source) {
    check_status(PyObject_GenericSetAttr(df, st.s(S::name), table_name));
    Ref attrs = attr(df, st.s(S::attrs));
    set_item(attrs.get(), st.s(S::table_name_key), table_name);
    Ref own_source = check(PyDict_Copy(source));
    set_item(attrs.get(), st.s(S::source_key), own_source.get());
}

// A cache file being written: a fresh file next to the cache that replaces it by rename only once
// it is complete, so readers (other processes included) see the old cache or the new one, never
// a part. Removed again on every other way out.
class PendingCacheFile {
public:
    PendingCacheFile() = default;
    PendingCacheFile(const PendingCacheFile&) = delete;
    PendingCacheFile& operator=(const PendingCacheFile&) = delete;
    ~PendingCacheFile() {
        if (fd_ >= 0) close(fd_);
        if (!temporary_.empty()) unlink(temporary_.c_str());
    }

    // Creates the file (mode 0600, this user's) beside `cache_full_path`; an error names the
    // cache itself, as opening it for writing would have.
    void create(PyObject* cache_full_path) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(cache_full_path, &encoded)) throw_error();
        Ref target_bytes = Ref::steal(encoded);
        target_.assign(PyBytes_AS_STRING(encoded),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
        std::string pattern = pending_name(target_);
        int fd;
        Py_BEGIN_ALLOW_THREADS
        fd = mkostemps(pattern.data(), std::size(temporary_suffix) - 1, O_CLOEXEC);
        Py_END_ALLOW_THREADS
        if (fd < 0) fail(cache_full_path);
        fd_ = fd;
        temporary_ = std::move(pattern);
    }

    int fd() const noexcept { return fd_; }
    // The file object now owns the descriptor.
    void hand_over_fd() noexcept { fd_ = -1; }

    // Durable before it becomes visible: a crash right after the rename must not leave an empty
    // cache where a good one was.
    void sync(PyObject* file, PyObject* cache_full_path) {
        const int fd = PyObject_AsFileDescriptor(file);
        if (fd < 0) throw_error();
        int status;
        Py_BEGIN_ALLOW_THREADS
        status = fsync(fd);
        Py_END_ALLOW_THREADS
        if (status != 0) fail(cache_full_path);
    }

    void commit(PyObject* cache_full_path) {
        int status;
        Py_BEGIN_ALLOW_THREADS
        status = rename(temporary_.c_str(), target_.c_str());
        Py_END_ALLOW_THREADS
        if (status != 0) fail(cache_full_path);
        temporary_.clear();
    }

private:
    // What follows the random part of the pending file's name.
    static constexpr char temporary_suffix[] = ".tmp";
    // What mkostemps fills with random characters, then that suffix.
    static constexpr std::string_view pending_suffix = ".XXXXXX.tmp";
    static_assert(pending_suffix.ends_with(temporary_suffix));

    // "<cache>.XXXXXX.tmp" in the cache's directory, the cache's own name cut short where the
    // whole would pass the directory's file-name limit: every name legal for the cache must be
    // writable.
    static std::string pending_name(const std::string& target) {
        const std::size_t slash = target.rfind('/');
        const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
        const std::string directory = name_start == 0 ? "." : target.substr(0, name_start);
        long limit;
        Py_BEGIN_ALLOW_THREADS
        limit = pathconf(directory.c_str(), _PC_NAME_MAX);
        Py_END_ALLOW_THREADS
        if (limit <= 0) limit = NAME_MAX;
        std::size_t name_length = target.size() - name_start;
        const auto room = static_cast<std::size_t>(limit);
        if (room > pending_suffix.size() && name_length + pending_suffix.size() > room) {
            name_length = room - pending_suffix.size();
        }
        std::string pattern = target.substr(0, name_start + name_length);
        pattern += pending_suffix;
        return pattern;
    }

    [[noreturn]] static void fail(PyObject* cache_full_path) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, cache_full_path);
        throw_error();
    }

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
};

// with open(cache_full_path, "wb") as file: pickle.dump(dataframes, file) -- written through a
// pending file that replaces the cache only when the dump and the close have succeeded.
void write_cache(Frame& f, const State& st, PyObject* cache_full_path, PyObject* dataframes) {
    f.at(60);
    PendingCacheFile pending;
    pending.create(cache_full_path);
    Ref fd = check(PyLong_FromLong(pending.fd()));
    Ref file = call(st.cached(B::open), {fd.get(), st.s(S::mode_wb)});
    pending.hand_over_fd();
    bool written = false;
    with_block(f, 60, file.get(), [&](PyObject* entered) {
        f.at(61);
        Ref dump = attr(global(st, S::pickle).get(), st.s(S::dump));
        Ref ignored = call(dump.get(), {dataframes, entered});
        Ref flushed = call_method(entered, st.s(S::flush));
        pending.sync(entered, cache_full_path);
        written = true;
    });
    // A manager that swallowed a failed dump leaves a file that must not become the cache.
    if (!written) return;
    f.at(60);
    pending.commit(cache_full_path);
}

// ---- prepare_data -----------------------------------------------------------------------------

Ref prepare_data_body(Frame& f, PyObject* const* a) {
    const State& st = g_state;
    PyObject* self = a[0];
    auto s = [&](S r) { return st.s(r); };

    f.at(40);
    Ref cache_full_path = [&] {
        Ref os_path = attr(global(st, S::os).get(), s(S::path));
        Ref join = attr(os_path.get(), s(S::join));
        Ref directory = attr(self, s(S::cache_path));
        Ref name = attr(self, s(S::cache_file));
        return call(join.get(), {directory.get(), name.get()});
    }();
    f.at(41);
    bool cached = [&] {
        Ref os_path = attr(global(st, S::os).get(), s(S::path));
        Ref exists = attr(os_path.get(), s(S::exists));
        return truth(call(exists.get(), {cache_full_path.get()}).get());
    }();
    if (cached) {
        if (Ref served = try_except(
                f,
                [&] {
                    Ref loaded;
                    f.at(43);
                    Ref reader = open_cache_for_reading(st, cache_full_path.get());
                    with_block(f, 43, reader.get(), [&](PyObject* file) {
                        f.at(44);
                        Ref load = attr(global(st, S::pickle).get(), s(S::load));
                        loaded = call(load.get(), {file});
                    });
                    f.at(44);
                    if (loaded &&
                        cache_is_servable(st, self, cache_full_path.get(), loaded.get())) {
                        restore_table_names(st, loaded.get());
                        return loaded;
                    }
                    return Ref();
                },
                45,
                [&](ExceptHandler& handler) {
                    PyObject* e = handler.value();
                    f.at(46);
                    log_error(st, S::load_error_prefix, e);
                })) {
            return served;
        }
    }

    f.at(48);
    if (!truth(attr(self, s(S::engine)).get())) {
        f.at(49);
        raise_not_connected(st);
    }
    f.at(51);
    Ref dataframes = new_list();
    return try_except(
        f,
        [&] {
            f.at(53);
            Ref source = source_of(st, self);
            Ref engine = attr(self, s(S::engine));
            Ref opened = call_method(engine.get(), s(S::connect));
            with_block(f, 53, opened.get(), [&](PyObject* connection) {
                f.at(54);
                Ref inspector = inspect_engine(st, self);
                f.at(55);
                Ref names = call_method(inspector.get(), s(S::get_table_names));
                for_each(f, 55, names.get(), [&](PyObject* table_name) {
                    f.at(56);
                    Ref df = [&] {
                        Ref read_sql_table = attr(global(st, S::pd).get(), s(S::read_sql_table));
                        return call(read_sql_table.get(), {table_name, connection});
                    }();
                    f.at(57);
                    name_table(st, df.get(), table_name, source.get());
                    f.at(59);
                    append(dataframes.get(), df.get());
                });
            });
            write_cache(f, st, cache_full_path.get(), dataframes.get());
            f.at(62);
            return std::move(dataframes);
        },
        64,
        [&](ExceptHandler& handler) {
            PyObject* e = handler.value();
            f.at(65);
            log_error(st, S::fetch_error_prefix, e);
            f.at(66);
            handler.reraise();
        });
}

// ---- print_table_schemas ----------------------------------------------------------------------

Ref print_table_schemas_body(Frame& f, PyObject* const* a) {
    const State& st = g_state;
    PyObject* self = a[0];
    auto s = [&](S r) { return st.s(r); };

    f.at(70);
    if (!truth(attr(self, s(S::engine)).get())) {
        f.at(71);
        raise_not_connected(st);
    }
    try_except(
        f,
        [&] {
            f.at(74);
            Ref inspector = inspect_engine(st, self);
            f.at(75);
            Ref names = call_method(inspector.get(), s(S::get_table_names));
            for_each(f, 75, names.get(), [&](PyObject* table_name) {
                f.at(76);
                {
                    Ref shown = format_empty(st, table_name);
                    Ref line = concat({s(S::table_prefix), shown.get()});
                    Ref ignored = call(st.cached(B::print), {line.get()});
                }
                f.at(77);
                Ref columns = call_method(inspector.get(), s(S::get_columns), {table_name});
                for_each(f, 77, columns.get(), [&](PyObject* column) {
                    f.at(78);
                    Ref name = item(column, s(S::name));
                    Ref name_text = format_empty(st, name.get());
                    Ref type = item(column, s(S::type));
                    Ref type_text = format_empty(st, type.get());
                    Ref line = concat({s(S::column_indent), name_text.get(), s(S::column_separator),
                                       type_text.get()});
                    Ref ignored = call(st.cached(B::print), {line.get()});
                });
            });
        },
        79,
        [&](ExceptHandler& handler) {
            PyObject* e = handler.value();
            f.at(80);
            log_error(st, S::schema_error_prefix, e);
            f.at(81);
            handler.reraise();
        });
    return none();
}

// ---- the functions ---------------------------------------------------------------------------

constexpr FunctionRecord<S> functions[] = {
    {.qualname = "MySQLDatabaseTabloom.__init__",
     .line = 17,
     .params = {S::self, S::username, S::password, S::host, S::database, S::cache_path,
                S::cache_file},
     .defaults = {S::default_cache_path, S::default_cache_file},
     .body = init_body},
    {.qualname = "MySQLDatabaseTabloom.connect",
     .line = 27,
     .params = {S::self},
     .locals = {S::conn, S::e},
     .body = connect_body},
    {.qualname = "MySQLDatabaseTabloom.prepare_data",
     .line = 39,
     .params = {S::self},
     .locals = {S::cache_full_path, S::file, S::e, S::dataframes, S::connection, S::inspector,
                S::table_name, S::df},
     .body = prepare_data_body},
    {.qualname = "MySQLDatabaseTabloom.print_table_schemas",
     .line = 69,
     .params = {S::self},
     .locals = {S::inspector, S::table_name, S::column, S::e},
     .body = print_table_schemas_body},
};
using Functions = FunctionTable<descriptor, functions, g_state>;

// ---- module statements ------------------------------------------------------------------------

void run_statements(Frame& f) {
    State& st = g_state;
    auto s = [&](S r) { return st.s(r); };
    auto g = [&](S r) { return global(st, r); };

    f.at(1);
    set_global(st, s(S::sqlalchemy), import_module(st, s(S::sqlalchemy)).get());
    f.at(2);
    import_from(st, s(S::sqlalchemy), {s(S::inspect)});
    f.at(3);
    set_global(st, s(S::pd), import_module(st, s(S::pandas)).get());
    f.at(4);
    set_global(st, s(S::os), import_module(st, s(S::os)).get());
    f.at(5);
    set_global(st, s(S::pickle), import_module(st, s(S::pickle)).get());
    f.at(6);
    set_global(st, s(S::logging), import_module(st, s(S::logging)).get());
    f.at(7);
    import_from(st, s(S::datetime), {s(S::datetime), s(S::timedelta)});
    f.at(8);
    import_from(st, s(S::sqlalchemy), {s(S::create_engine), s(S::inspect)});
    f.at(9);
    import_from(st, s(S::sqlalchemy_exc), {s(S::SQLAlchemyError)});
    f.at(10);
    st.urls.load(st, st.cached(B::ValueError));

    f.at(14);
    {
        Ref basic_config = attr(g(S::logging).get(), s(S::basicConfig));
        Ref level = attr(g(S::logging).get(), s(S::INFO));
        Ref ignored = call_kw(basic_config.get(), {level.get(), s(S::log_format)},
                              st.kw_level_format);
    }

    f.at(16);
    {
        Ref cls = build_class(
            st, s(S::MySQLDatabaseTabloom), s(S::MySQLDatabaseTabloom), st.empty_tuple,
            s(S::module_name), nullptr, nullptr, [&](PyObject* ns) {
                Functions::define<"MySQLDatabaseTabloom.__init__">(f, ns);
                Functions::define<"MySQLDatabaseTabloom.connect">(f, ns);
                Functions::define<"MySQLDatabaseTabloom.prepare_data">(f, ns);
                Functions::define<"MySQLDatabaseTabloom.print_table_schemas">(f, ns);
                f.at(16);
            });
        set_global(st, s(S::MySQLDatabaseTabloom), cls.get());
    }
}

}  // namespace

PyMODINIT_FUNC PyInit_tabloom() { return module_definition<g_state>(); }
