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
    {FrameName::mro_entries, identifier_row("__mro_entries__")},
    {FrameName::prepare, identifier_row("__prepare__")},
    {FrameName::module, identifier_row("__module__")},
    {FrameName::qualname, identifier_row("__qualname__")},
    {FrameName::doc, identifier_row("__doc__")},
    {FrameName::orig_bases, identifier_row("__orig_bases__")},
    {FrameName::annotations, identifier_row("__annotations__")},
    {FrameName::enter, identifier_row("__enter__")},
    {FrameName::exit, identifier_row("__exit__")},
    {FrameName::spec, identifier_row("__spec__")},
    {FrameName::initialising, identifier_row("_initializing")},
    {FrameName::name, identifier_row("__name__")},
    {FrameName::register_, identifier_row("register")},
    {FrameName::Coroutine, identifier_row("Coroutine")},
    {FrameName::collections_abc, text_row("collections.abc")},
    {FrameName::backports_abc, identifier_row("backports_abc")},
    {FrameName::gc, identifier_row("gc")},
    {FrameName::isenabled, identifier_row("isenabled")},
    {FrameName::enable, identifier_row("enable")},
    {FrameName::disable, identifier_row("disable")},
};
static_assert(rows_in_order(frame_name_table), "frame_name_table rows must follow FrameName");
inline constexpr auto frame_names = enum_rows_of(frame_name_table);

}  // namespace orvelkit::frame
