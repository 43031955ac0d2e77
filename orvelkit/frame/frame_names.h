// The names the frame itself reads (class statements, context managers, imports, the collector),
// made beside each module's own strings at initialisation.
#pragma once

#include "string_table.h"

#include <cstddef>

namespace orvelkit::frame {

inline constexpr NameRow frame_name_table[] = {
    ident("__mro_entries__"),
    ident("__prepare__"),
    ident("__module__"),
    ident("__qualname__"),
    ident("__doc__"),
    ident("__orig_bases__"),
    ident("__annotations__"),
    ident("__enter__"),
    ident("__exit__"),
    ident("__spec__"),
    ident("_initializing"),
    ident("__name__"),
    ident("register"),
    ident("Coroutine"),
    text("collections_abc", "collections.abc"),
    ident("backports_abc"),
    ident("gc"),
    ident("isenabled"),
    ident("enable"),
    ident("disable"),
};

// A row of the frame's own table, read as "__mro_entries__"_f: a type of its own, so that it is
// never taken for a row of a module's table.
struct FrameName {
    std::size_t row;
};

template <FixedText Key>
consteval FrameName operator""_f() {
    return {find_name<frame_name_table>(Key).row};
}

inline constexpr auto frame_names = rows_of<frame_name_table>;

}  // namespace orvelkit::frame
