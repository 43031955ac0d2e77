// orvelkit.tabloom's state: the builtins it reads once and the fields the module adds to the
// frame's per-process record, shared with its rooms. What the frame is told about the module
// stands in tabloom.cpp.
#pragma once

#include "frame/record.h"
#include "mysql/connection_url.h"
#include "tabloom/names.h"

#include <cstddef>
#include <iterator>

namespace orvelkit::tabloom {

using namespace orvelkit::frame;

// Builtins the module never assigns, read once at initialisation: replacing them later, in the
// module's namespace or in builtins, changes nothing here.
enum class B : std::size_t { all, ValueError, open, print, count };
inline constexpr std::size_t cached_builtin_rows[] = {row("all"_n), row("ValueError"_n),
                                                      row("open"_n), row("print"_n)};
static_assert(std::size(cached_builtin_rows) == static_cast<std::size_t>(B::count));

// The module's own fields after the frame's; each holds one reference for the process.
struct State : ModuleState {
    using ModuleState::ModuleState;
    PyObject* kw_level_format = nullptr;  // ("level", "format")
    PyObject* kw_level = nullptr;         // ("level",)
    // The URL work, with urllib.parse.quote and sqlalchemy.engine.make_url kept in it rather than
    // in the namespace: what encodes the credentials and what proves the URL reads back as given
    // must not be something a caller can swap out by assigning a module global.
    mysql::ConnectionUrls urls;
};

}  // namespace orvelkit::tabloom
