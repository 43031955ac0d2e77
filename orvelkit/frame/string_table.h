// A module's string table: the rows its names and literals are made from at initialisation, and
// the compile-time check that the rows follow the enumeration that names them.
#pragma once

#include "python.h"

#include <array>
#include <cstddef>
#include <type_traits>

namespace orvelkit::frame {

// One row of a string table. Identifiers become interned str, other text ordinary str; every
// string is hashed when it is made.
struct StringRow {
    const char* data;
    Py_ssize_t length;
    bool is_identifier;
};

constexpr Py_ssize_t c_length(const char* s) {
    Py_ssize_t n = 0;
    while (s[n]) ++n;
    return n;
}
constexpr StringRow ident(const char* s) { return {s, c_length(s), true}; }
constexpr StringRow text(const char* s) { return {s, c_length(s), false}; }

// A module's string table, written as (row name, row) pairs so that a row out of place is a
// compile error rather than a wrong name at run time.
template <class E>
struct NamedRow {
    E name;
    StringRow row;
};

template <class E, std::size_t N>
constexpr bool rows_in_order(const NamedRow<E> (&table)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<std::size_t>(table[i].name) != i) return false;
    }
    return static_cast<std::size_t>(E::count) == N;
}

template <class E, std::size_t N>
constexpr std::array<StringRow, N> rows_of(const NamedRow<E> (&table)[N]) {
    std::array<StringRow, N> rows{};
    for (std::size_t i = 0; i < N; ++i) rows[i] = table[i].row;
    return rows;
}

// The row of a module's string table that an enumerator names.
template <class E>
requires std::is_enum_v<E>
constexpr std::size_t row(E e) { return static_cast<std::size_t>(e); }

}  // namespace orvelkit::frame
