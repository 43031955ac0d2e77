// The connection URL: built, proved to read back, and read apart.
#include "mysql/connection_url.h"

#include <algorithm>
#include <string_view>

#include "frame/names.h"

namespace orvelkit::mysql {

using namespace frame;

namespace {

bool is_name_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// The text of an exact str, when every character fits in one byte; else an empty view.
std::string_view latin1_text(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) return {};
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
}

bool all_name_chars(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return is_name_char(static_cast<unsigned char>(c));
    });
}

// "name" or "name:port", the port without a leading zero and short enough that SQLAlchemy's int()
// and str() give back the same digits.
bool is_plain_host(std::string_view host) {
    const std::size_t colon = host.find(':');
    if (!all_name_chars(host.substr(0, colon))) return false;
    if (colon == std::string_view::npos) return true;
    const std::string_view port = host.substr(colon + 1);
    return !port.empty() && port.size() <= 5 && port.front() != '0' &&
           std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The texts, in the order of ConnectionUrls::Text; `interned` marks names looked up in dicts.
struct TextRow {
    const char* text;
    bool interned;
};
constexpr TextRow text_rows[] = {
    {"", false},
    {":", false},
    {"@", false},
    {"/", false},
    {"[", false},
    {"]", false},
    {"mysql+pymysql://", false},
    {"safe", true},
    {"username", true},
    {"password", true},
    {"host", true},
    {"port", true},
    {"database", true},
    {"query", true},
    {"The host cannot be used: the connection URL would read it as something else. Give a "
     "host name or address, optionally followed by ':' and a port number (an IPv6 address in "
     "brackets).",
     false},
    {"The database name cannot be used: the connection URL would read it as something else "
     "('?' starts connection options, and SQLAlchemy 2.1 decodes '%' escapes).",
     false},
    {"The user name or password would not reach the server as given.", false},
    {"The password cannot be sent: the MySQL driver sends passwords as latin-1, and this one "
     "holds characters outside it.",
     false},
};

Ref make_text(const TextRow& row) {
    if (!row.interned) return check(PyUnicode_FromString(row.text));
    Ref name = check(PyUnicode_InternFromString(row.text));
    if (PyObject_Hash(name.get()) == -1) throw_error();  // stored with the string from now on
    return name;
}

// Interned and kept for the process, like the module's own strings.
Ref identifier(const char* text) { return make_text({text, true}); }

}  // namespace

void ConnectionUrls::load(const ModuleState& st, PyObject* refusal) {
    if (make_url_) return;
    static_assert(std::size(text_rows) == count, "one text row per ConnectionUrls::Text");
    PyObject* texts[count] = {};
    try {
        for (std::size_t i = 0; i < count; ++i) texts[i] = make_text(text_rows[i]).release();
        Ref kw_safe = make_tuple({texts[safe]});
        Ref quote = import_attribute(st, identifier("urllib.parse"), identifier("quote"));
        Ref make_url = import_attribute(st, identifier("sqlalchemy.engine"),
                                        identifier("make_url"));
        std::copy(std::begin(texts), std::end(texts), texts_);
        kw_safe_ = kw_safe.release();
        quote_ = quote.release();
        make_url_ = make_url.release();
        refusal_ = Py_NewRef(refusal);
    } catch (const PyErrorSet&) {
        for (PyObject* text : texts) Py_XDECREF(text);
        throw;
    }
}

void ConnectionUrls::refuse(PyObject* message) const { raise_value(call(refusal_, {message})); }

Ref ConnectionUrls::encoded(PyObject* text) const {
    return call_kw(quote_, {text, s(empty)}, kw_safe_);
}

// make_url's own error is dropped, not chained: its text would carry the URL, password included.
// An empty Ref when SQLAlchemy cannot read the URL; anything but an Exception propagates.
Ref ConnectionUrls::parse_or_empty(PyObject* url) const {
    PyObject* parsed = PyObject_CallOneArg(make_url_, url);
    if (parsed) return Ref::steal(parsed);
    if (!pending_is_exception()) throw_error();
    PyErr_Clear();
    return Ref{};
}

Ref ConnectionUrls::text_or_empty(PyObject* parsed, Text field) const {
    Ref value = attr(parsed, s(field));
    if (value.get() == Py_None) return Ref::borrow(s(empty));
    return value;
}

// "name", "name:port", "[::1]:port": the host text that reads back as the parsed host and port.
Ref ConnectionUrls::host_text_of(PyObject* parsed) const {
    Ref host_text = text_or_empty(parsed, host);
    if (check_status(PyUnicode_Contains(host_text.get(), s(colon)))) {
        host_text = concat({s(bracket_open), host_text, s(bracket_close)});
    }
    Ref port_number = attr(parsed, s(port));
    if (port_number.get() == Py_None) return host_text;
    Ref port_text = check(PyObject_Str(port_number.get()));
    return concat({host_text, s(colon), port_text});
}

// Query options are refused because PyMySQL takes them as connect arguments: another socket, a
// file to read, a statement to run.
void ConnectionUrls::refuse_misread(PyObject* url, PyObject* user, PyObject* password_text,
                                    PyObject* host_text, PyObject* database_text) const {
    // SQLAlchemy's reading of such a URL is fixed: a host of name characters matches its host
    // group whole, digits after one colon are the port, and a database of name characters holds
    // neither "?" nor "%". The credentials went in percent-encoded with nothing safe, which its
    // unquote reverses exactly. make_url could only agree, and skipping it saves most of a
    // constructor's cost.
    if (is_plain_host(latin1_text(host_text)) && all_name_chars(latin1_text(database_text))) {
        return;
    }
    // A port that is not a number is the only thing SQLAlchemy fails to read.
    Ref parsed = parse_or_empty(url);
    if (!parsed || !equal(host_text_of(parsed.get()), host_text)) refuse(s(host_misread));
    if (!equal(text_or_empty(parsed.get(), database), database_text) ||
        check_status(PyObject_Length(attr(parsed, s(query)).get())) != 0) {
        refuse(s(database_misread));
    }
    if (!equal(text_or_empty(parsed.get(), username), user) ||
        !equal(text_or_empty(parsed.get(), password), password_text)) {
        refuse(s(credentials_misread));
    }
}

// PyMySQL encodes passwords as latin-1; its own failure would quote the offending character and
// its position, so a password it cannot send is refused here, in words that quote nothing.
Ref ConnectionUrls::build(PyObject* user, PyObject* password_text, PyObject* host_text,
                          PyObject* database_text) const {
    const Py_ssize_t length = PyUnicode_GetLength(password_text);
    if (length < 0) throw_error();
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (PyUnicode_ReadChar(password_text, i) > 0xFF) refuse(s(password_unsendable));
    }
    Ref url = concat({s(scheme), encoded(user), s(colon), encoded(password_text), s(at_sign),
                      host_text, s(slash), database_text});
    // Refused before the URL is handed out: nothing may ever connect with a misread one.
    refuse_misread(url.get(), user, password_text, host_text, database_text);
    return url;
}

ConnectionUrls::Parts ConnectionUrls::read(PyObject* url, PyObject* unreadable) const {
    Ref parsed = parse_or_empty(url);
    if (!parsed) refuse(unreadable);
    return Parts{.user = text_or_empty(parsed.get(), username),
                 .host = host_text_of(parsed.get()),
                 .database = text_or_empty(parsed.get(), database)};
}

}  // namespace orvelkit::mysql
