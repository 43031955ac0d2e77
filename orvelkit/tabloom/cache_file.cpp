// The table cache on disk: opening a cache file only when it is safe to unpickle, telling whether
// its tables came from this tool's source, naming loaded tables again, and writing a new cache
// so that nobody ever reads half of one. Includes only the frame, this module's own headers, the
// standard library and the POSIX file calls the cache needs.
#include "tabloom/cache_file.h"

#include "frame/names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>

namespace orvelkit::tabloom {

// ---- the connection URL -----------------------------------------------------------------------

// {"user": ..., "host": ..., "database": ...} of the tool's URL as SQLAlchemy reads it: where the
// tables come from, recorded with them in the cache. Never the password.
Ref source_of(const State& st, PyObject* self) {
    Ref url = attr(self, st.s("connection_string"_n));
    const mysql::ConnectionUrls::Parts parts = st.urls.read(url.get(), st.s("url_unreadable"_n));
    return new_dict({{st.s("user"_n), parts.user},
                     {st.s("host"_n), parts.host},
                     {st.s("database"_n), parts.database}});
}

// ---- reading the cache ----------------------------------------------------------------------------

namespace {

[[noreturn]] void raise_os_error(PyObject* filename) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw_error();
}

// A descriptor closed on every way out unless handed over to a file object.
class Descriptor : Pinned {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const noexcept { return fd_; }
    void hand_over() noexcept { fd_ = -1; }

private:
    int fd_;
};

[[noreturn]] void refuse_cache(const State& st, PyObject* cache_full_path, Name reason) {
    Ref shown = format_empty(st, cache_full_path);
    Ref message = concat({st.s("refusing_prefix"_n), shown, st.s(reason)});
    raise_object(PyExc_PermissionError, message.get());
}

}  // namespace

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
    if (!S_ISREG(info.st_mode)) refuse_cache(st, cache_full_path, "not_a_regular_file"_n);
    if (info.st_uid != geteuid()) refuse_cache(st, cache_full_path, "owned_by_another_user"_n);
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        refuse_cache(st, cache_full_path, "writable_by_others"_n);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) raise_os_error(cache_full_path);
    Ref number = check(PyLong_FromLong(fd));
    Ref file = call(st.cached(B::open), {number, st.s("mode_rb"_n)});
    descriptor.hand_over();
    return file;
}

namespace {

// The record of a table's source that a loaded cache carries, or an empty Ref when the item is
// not a DataFrame with one (a file from before the record, or not a table). Held, not borrowed:
// an unpickled object's `attrs` may be a dict that nothing but this read keeps alive.
Ref recorded_source(const State& st, PyObject* frame_type, PyObject* table) {
    if (!check_status(PyObject_IsInstance(table, frame_type))) return Ref();
    Ref attrs = attr(table, st.s("attrs"_n));
    if (!PyDict_Check(attrs.get())) return Ref();
    PyObject* found = PyDict_GetItemWithError(attrs.get(), st.s("source_key"_n));
    if (!found && PyErr_Occurred()) throw_error();
    return Ref::borrow(found);
}

}  // namespace

// Whether a loaded cache may be served. Tables recorded for another source make the file
// unloadable (PermissionError). An empty list carries no record, so it cannot show whose it is:
// it is never served, and the database, cheap to list when it has no tables, is read instead.
bool cache_is_servable(const State& st, PyObject* self, PyObject* cache_full_path,
                       PyObject* loaded) {
    if (!PyList_Check(loaded)) return true;
    if (PyList_GET_SIZE(loaded) == 0) return false;
    Ref frame_type = attr(global(st, "pd"_n), st.s("DataFrame"_n));
    Ref expected;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(loaded); ++i) {
        Ref table = Ref::borrow(PyList_GET_ITEM(loaded, i));
        Ref source = recorded_source(st, frame_type.get(), table.get());
        if (!source) continue;
        if (!expected) expected = source_of(st, self);
        if (!equal(source, expected)) {
            refuse_cache(st, cache_full_path, "written_for_another_source"_n);
        }
    }
    return true;
}

// Attributes set on a DataFrame do not survive pickling; its attrs do. Each table name travels
// in attrs and is put back here, on the instance itself, never through DataFrame.__setattr__.
void restore_table_names(const State& st, PyObject* loaded) {
    if (!PyList_Check(loaded)) return;
    Ref frame_type = attr(global(st, "pd"_n), st.s("DataFrame"_n));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(loaded); ++i) {
        Ref table = Ref::borrow(PyList_GET_ITEM(loaded, i));
        if (!check_status(PyObject_IsInstance(table.get(), frame_type.get()))) continue;
        Ref attrs = attr(table, st.s("attrs"_n));
        if (!PyDict_Check(attrs.get())) continue;
        PyObject* found = PyDict_GetItemWithError(attrs.get(), st.s("table_name_key"_n));
        if (!found) {
            if (PyErr_Occurred()) throw_error();
            continue;
        }
        Ref name = Ref::borrow(found);
        check_status(PyObject_GenericSetAttr(table.get(), st.s("name"_n), name.get()));
    }
}

// df.name = table_name without DataFrame.__setattr__, which would overwrite a column called
// "name" with the table's name; plus, in attrs, which pickling keeps, a copy of the name and a
// record of the source each table was read from.
void name_table(const State& st, PyObject* df, PyObject* table_name, PyObject* source) {
    check_status(PyObject_GenericSetAttr(df, st.s("name"_n), table_name));
    Ref attrs = attr(df, st.s("attrs"_n));
    set_item(attrs, st.s("table_name_key"_n), table_name);
    Ref own_source = check(PyDict_Copy(source));
    set_item(attrs, st.s("source_key"_n), own_source);
}

namespace {

// A cache file being written: a fresh file next to the cache that replaces it by rename only once
// it is complete, so readers (other processes included) see the old cache or the new one, never
// a part. Removed again on every other way out.
class PendingCacheFile : Pinned {
public:
    PendingCacheFile() = default;
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

}  // namespace

// with open(cache_full_path, "wb") as file: pickle.dump(dataframes, file) -- written through a
// pending file that replaces the cache only when the dump and the close have succeeded.
void write_cache(Cursor& f, const State& st, PyObject* cache_full_path, PyObject* dataframes) {
    f.at(line::prepare_data::write_cache);
    PendingCacheFile pending;
    pending.create(cache_full_path);
    Ref fd = check(PyLong_FromLong(pending.fd()));
    Ref file = call(st.cached(B::open), {fd, st.s("mode_wb"_n)});
    pending.hand_over_fd();
    bool written = false;
    with_block(f, line::prepare_data::write_cache, file, [&](PyObject* entered) {
        f.at(line::prepare_data::dump_cache);
        Ref dump = attr(global(st, "pickle"_n), st.s("dump"_n));
        Ref ignored = call(dump, {dataframes, entered});
        Ref flushed = call_method(entered, st.s("flush"_n));
        pending.sync(entered, cache_full_path);
        written = true;
    });
    // A manager that swallowed a failed dump leaves a file that must not become the cache.
    if (!written) return;
    f.at(line::prepare_data::write_cache);
    pending.commit(cache_full_path);
}

}  // namespace orvelkit::tabloom
