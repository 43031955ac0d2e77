// orvelkit.tabloom's state: what the frame is told about the module, the builtins it reads once,
// and the fields the module adds to the frame's per-process record.
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

void make_tuples(ModuleState& st);
void run_statements(Cursor& f);

inline constexpr ModuleDescriptor descriptor{
    .short_name = "tabloom",
    .full_name = "orvelkit.tabloom",
    .file_name = "orvelkit\\tabloom",
    .strings = rows_of<names>,
    .cached_builtins = cached_builtin_rows,
    .registers_coroutine = false,
    .make_numbers = nullptr,
    .make_tuples = make_tuples,
    .ready_types = nullptr,
    .run_statements = run_statements,
};

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

inline State g_state{descriptor};

using Functions = Definitions<descriptor, g_state>;

}  // namespace orvelkit::tabloom
