// The names the frame itself reads (class statements, context managers, imports, the collector),
// made beside each module's own strings at initialisation.
#pragma once

#include "string_table.h"

#include <iterator>

namespace orvelkit::frame {

enum class FrameName : std::size_t {
    mro_entries,
    prepare,
    module,
    qualname,
    doc,
    orig_bases,
    annotations,
    enter,
    exit,
    spec,
    initialising,
    name,
    register_,
    Coroutine,
    collections_abc,
    backports_abc,
    gc,
    isenabled,
    enable,
    disable,
    count,
};

inline constexpr NamedRow<FrameName> frame_name_table[] = {
    {FrameName::mro_entries, ident("__mro_entries__")},
    {FrameName::prepare, ident("__prepare__")},
    {FrameName::module, ident("__module__")},
    {FrameName::qualname, ident("__qualname__")},
    {FrameName::doc, ident("__doc__")},
    {FrameName::orig_bases, ident("__orig_bases__")},
    {FrameName::annotations, ident("__annotations__")},
    {FrameName::enter, ident("__enter__")},
    {FrameName::exit, ident("__exit__")},
    {FrameName::spec, ident("__spec__")},
    {FrameName::initialising, ident("_initializing")},
    {FrameName::name, ident("__name__")},
    {FrameName::register_, ident("register")},
    {FrameName::Coroutine, ident("Coroutine")},
    {FrameName::collections_abc, text("collections.abc")},
    {FrameName::backports_abc, ident("backports_abc")},
    {FrameName::gc, ident("gc")},
    {FrameName::isenabled, ident("isenabled")},
    {FrameName::enable, ident("enable")},
    {FrameName::disable, ident("disable")},
};
static_assert(rows_in_order(frame_name_table), "frame_name_table rows must follow FrameName");
inline constexpr auto frame_names = rows_of(frame_name_table);

}  // namespace orvelkit::frame
