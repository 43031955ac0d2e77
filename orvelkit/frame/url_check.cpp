// The read-back check of connection URLs.
#include "url_check.h"

#include <algorithm>
#include <string_view>

namespace orvelkit::frame {

namespace {

bool equal(PyObject* a, PyObject* b) { return check_status(PyObject_RichCompareBool(a, b, Py_EQ)); }

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

}  // namespace

void refuse_url(const UrlTexts& t, PyObject* message) {
    raise_value(call(t.error, {message}).get());
}

// PyMySQL encodes passwords as latin-1; its own failure would quote the offending character and
// its position, so a password it cannot send is refused here, in words that quote nothing.
void refuse_unsendable_password(const UrlTexts& t, PyObject* password) {
    const Py_ssize_t length = PyUnicode_GetLength(password);
    if (length < 0) throw_error();
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (PyUnicode_ReadChar(password, i) > 0xFF) refuse_url(t, t.password_unsendable);
    }
}

// make_url's own error is dropped, not chained: its text would carry the URL, password included.
Ref try_parse_url(const UrlTexts& t, PyObject* url) {
    PyObject* parsed = PyObject_CallOneArg(t.make_url, url);
    if (parsed) return Ref::steal(parsed);
    if (!pending_is_exception()) throw_error();
    PyErr_Clear();
    return Ref{};
}

Ref text_or_empty(const UrlTexts& t, PyObject* parsed, PyObject* field) {
    Ref value = attr(parsed, field);
    if (value.get() == Py_None) return Ref::borrow(t.empty);
    return value;
}

Ref host_text_of(const UrlTexts& t, PyObject* parsed) {
    Ref host = text_or_empty(t, parsed, t.host);
    if (check_status(PyUnicode_Contains(host.get(), t.colon))) {
        host = concat({t.bracket_open, host.get(), t.bracket_close});
    }
    Ref port = attr(parsed, t.port);
    if (port.get() == Py_None) return host;
    Ref port_text = check(PyObject_Str(port.get()));
    return concat({host.get(), t.colon, port_text.get()});
}

// Query options are refused because PyMySQL takes them as connect arguments: another socket, a
// file to read, a statement to run.
void refuse_misread_url(const UrlTexts& t, PyObject* url, PyObject* user, PyObject* password,
                        PyObject* host, PyObject* database) {
    // SQLAlchemy's reading of such a URL is fixed: a host of name characters matches its host
    // group whole, digits after one colon are the port, and a database of name characters holds
    // neither "?" nor "%". The credentials went in percent-encoded with nothing safe, which its
    // unquote reverses exactly. make_url could only agree, and skipping it saves most of a
    // constructor's cost.
    if (is_plain_host(latin1_text(host)) && all_name_chars(latin1_text(database))) return;
    // A port that is not a number is the only thing SQLAlchemy fails to read.
    Ref parsed = try_parse_url(t, url);
    if (!parsed || !equal(host_text_of(t, parsed.get()).get(), host)) {
        refuse_url(t, t.host_misread);
    }
    if (!equal(text_or_empty(t, parsed.get(), t.database).get(), database) ||
        check_status(PyObject_Length(attr(parsed.get(), t.query).get())) != 0) {
        refuse_url(t, t.database_misread);
    }
    if (!equal(text_or_empty(t, parsed.get(), t.username).get(), user) ||
        !equal(text_or_empty(t, parsed.get(), t.password).get(), password)) {
        refuse_url(t, t.credentials_misread);
    }
}

}  // namespace orvelkit::frame
