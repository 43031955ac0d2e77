// String tables: the rows a module's names and literals are made from at initialisation, each
// written once under the key the code names it by ("create_engine"_n), and the compile-time
// lookup that turns a key into its row, so that a key no row has is a compile error.
#pragma once

#include "python.h"

#include <array>
#include <cstddef>

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
constexpr StringRow identifier_row(const char* s) { return {s, c_length(s), true}; }
constexpr StringRow text_row(const char* s) { return {s, c_length(s), false}; }

constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// A text given as a template argument: `"create_engine"_n`, `define<"Auspex._run">`.
template <std::size_t N>
struct FixedText {
    consteval FixedText(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    char chars[N]{};
};

// A row of one module's names table, as its `_n` literal finds it.
struct Name {
    std::size_t row;
    friend constexpr bool operator==(Name, Name) = default;
};

// A row of a module's names table with the key the module's code names it by. An identifier is
// its own key unless it is a C++ keyword; a text needs one.
struct NameRow {
    const char* key;
    StringRow row;
};
constexpr NameRow ident(const char* s) { return {s, identifier_row(s)}; }
constexpr NameRow ident(const char* key, const char* s) { return {key, identifier_row(s)}; }
constexpr NameRow text(const char* key, const char* s) { return {key, text_row(s)}; }

// Never defined and not constexpr: a lookup or table that breaks a rule stops the compile at the
// call of the one that names the rule.
void no_row_has_this_key();
void two_rows_share_a_key();

// The row whose key is `key`. Evaluated only while compiling.
template <const auto& Table, std::size_t N>
consteval Name find_name(const FixedText<N>& key) {
    for (std::size_t i = 0; i < std::size(Table); ++i) {
        if (same_text(Table[i].key, key.chars)) return Name{i};
    }
    no_row_has_this_key();
    return Name{0};
}

template <const auto& Table>
consteval std::array<StringRow, std::size(Table)> checked_rows() {
    std::array<StringRow, std::size(Table)> rows{};
    for (std::size_t i = 0; i < std::size(Table); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (same_text(Table[i].key, Table[j].key)) two_rows_share_a_key();
        }
        rows[i] = Table[i].row;
    }
    return rows;
}

// The strings of a names table, in its order, for the module's descriptor; two rows with one key
// do not compile.
template <const auto& Table>
inline constexpr std::array<StringRow, std::size(Table)> rows_of = checked_rows<Table>();

constexpr std::size_t row(Name n) { return n.row; }

}  // namespace orvelkit::frame
