// The read-back check of connection URLs.
#include "url_check.h"

namespace orvelkit::frame {

namespace {

bool equal(PyObject* a, PyObject* b) { return check_status(PyObject_RichCompareBool(a, b, Py_EQ)); }

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
