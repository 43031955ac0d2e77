// Proving that a connection URL built from credentials reads back, through SQLAlchemy's make_url,
// as exactly those credentials, and reading the parts of a URL the same way. Every function here
// throws PyErrorSet; none keeps a Python value after it returns.
#pragma once

#include "ops.h"

namespace orvelkit::frame {

// What the check works with, all borrowed from the module state that holds them for the process.
// The messages stay in the module's own string table; the frame only decides when each is raised.
struct UrlTexts {
    PyObject* make_url;       // sqlalchemy.engine.make_url, taken once at initialisation
    PyObject* error;          // the exception class refusals are raised with (ValueError)
    PyObject* empty;          // ""
    PyObject* colon;          // ":"
    PyObject* bracket_open;   // "["
    PyObject* bracket_close;  // "]"
    // Attribute names of a parsed URL.
    PyObject* username;
    PyObject* password;
    PyObject* host;
    PyObject* port;
    PyObject* database;
    PyObject* query;
    // Refusals; none quotes a value, since the values include the password.
    PyObject* host_misread;
    PyObject* database_misread;
    PyObject* credentials_misread;
    PyObject* password_unsendable;
};

// The rows a module's string table takes these texts from, written once for every module that
// checks a URL. Each module still makes them into its own strings at initialisation.
namespace url_rows {
inline constexpr StringRow bracket_open = text("[");
inline constexpr StringRow bracket_close = text("]");
inline constexpr StringRow host_misread = text(
    "The host cannot be used: the connection URL would read it as something else. Give a "
    "host name or address, optionally followed by ':' and a port number (an IPv6 address in "
    "brackets).");
inline constexpr StringRow database_misread = text(
    "The database name cannot be used: the connection URL would read it as something else "
    "('?' starts connection options, and SQLAlchemy 2.1 decodes '%' escapes).");
inline constexpr StringRow credentials_misread = text(
    "The user name or password would not reach the server as given.");
inline constexpr StringRow password_unsendable = text(
    "The password cannot be sent: the MySQL driver sends passwords as latin-1, and this one "
    "holds characters outside it.");
}  // namespace url_rows

// The texts from a module whose string table E has rows of these names and whose state keeps
// make_url; `error` is the exception class its refusals are raised with.
template <class E, class State>
UrlTexts url_texts_of(const State& st, PyObject* error) {
    auto s = [&](E row) { return st.s(row); };
    return UrlTexts{
        .make_url = st.make_url,
        .error = error,
        .empty = st.empty_str,
        .colon = s(E::colon),
        .bracket_open = s(E::bracket_open),
        .bracket_close = s(E::bracket_close),
        .username = s(E::username),
        .password = s(E::password),
        .host = s(E::host),
        .port = s(E::port),
        .database = s(E::database),
        .query = s(E::query),
        .host_misread = s(E::host_misread),
        .database_misread = s(E::database_misread),
        .credentials_misread = s(E::credentials_misread),
        .password_unsendable = s(E::password_unsendable),
    };
}

// Raises error(message). Never returns.
[[noreturn]] void refuse_url(const UrlTexts& t, PyObject* message);

// Refuses a password the MySQL driver cannot encode as latin-1 (raises password_unsendable).
// `password` must be a str.
void refuse_unsendable_password(const UrlTexts& t, PyObject* password);

// make_url(url), or an empty Ref when SQLAlchemy cannot read it (the one case where the result
// may be empty). An Exception from make_url is cleared, not chained; anything else propagates.
Ref try_parse_url(const UrlTexts& t, PyObject* url);

// parsed.<field>, with None read as "". New reference.
Ref text_or_empty(const UrlTexts& t, PyObject* parsed, PyObject* field);

// The host text that reads back as the parsed host and port: "name", "name:port", "[::1]:port".
// New reference.
Ref host_text_of(const UrlTexts& t, PyObject* parsed);

// Refuses (raises host_misread, database_misread or credentials_misread, first failing first) a
// URL that make_url reads as anything but the given user, password, host and database, or that
// carries query options. The URL must be "scheme://" + user and password percent-encoded with
// nothing safe, joined by ":" and "@", + host + "/" + database: a host and database of plain name
// characters then read back without asking make_url.
void refuse_misread_url(const UrlTexts& t, PyObject* url, PyObject* user, PyObject* password,
                        PyObject* host, PyObject* database);

}  // namespace orvelkit::frame
