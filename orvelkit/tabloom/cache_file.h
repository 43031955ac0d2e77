// The table cache on disk, for prepare_data: what may be unpickled, whose tables a loaded cache
// holds, and a write that replaces the cache whole or not at all. Each throws PyErrorSet.
#pragma once

#include "tabloom/state.h"

namespace orvelkit::tabloom {

// {"user": ..., "host": ..., "database": ...} of the tool's URL as SQLAlchemy reads it.
Ref source_of(const State& st, PyObject* self);

// The cache as a file object for `pickle.load`, over a descriptor that passed every check;
// PermissionError for a file that is not safe to unpickle.
Ref open_cache_for_reading(const State& st, PyObject* cache_full_path);

// Whether a loaded cache may be served; PermissionError when its tables came from another source.
bool cache_is_servable(const State& st, PyObject* self, PyObject* cache_full_path,
                       PyObject* loaded);

// Puts each loaded table's name back on the table.
void restore_table_names(const State& st, PyObject* loaded);

// df.name = table_name, and the name and the source in the table's attrs, which pickling keeps.
void name_table(const State& st, PyObject* df, PyObject* table_name, PyObject* source);

// The cache-writing statement of prepare_data at its lines, reported through `f`.
void write_cache(Cursor& f, const State& st, PyObject* cache_full_path, PyObject* dataframes);

}  // namespace orvelkit::tabloom
