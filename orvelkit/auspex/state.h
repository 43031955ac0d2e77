// orvelkit.auspex's state: the builtins it reads once and the fields the module adds to the
// frame's per-process record, shared with its rooms. What the frame is told about the module
// stands in auspex.cpp.
#pragma once

#include "auspex/names.h"
#include "frame/record.h"

#include <cstddef>
#include <iterator>

namespace orvelkit::auspex {

using namespace orvelkit::frame;

// Builtins the module never assigns, read once at initialisation.
enum class B : std::size_t { NotImplementedError, sum, range, count };
inline constexpr std::size_t cached_builtin_rows[] = {row("NotImplementedError"_n), row("sum"_n),
                                                      row("range"_n)};
static_assert(std::size(cached_builtin_rows) == static_cast<std::size_t>(B::count));

// pandas' datetime64 units: seconds, milliseconds, microseconds, nanoseconds.
inline constexpr std::size_t time_unit_count = 4;

// The module's own fields after the frame's; each holds one reference for the process.
struct State : ModuleState {
    using ModuleState::ModuleState;
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_1970 = nullptr;
    PyObject* kw_description = nullptr;    // ("description",)
    PyObject* kw_inplace = nullptr;        // ("inplace",)
    PyObject* kw_days = nullptr;           // ("days",)
    PyTypeObject* closure_type = nullptr;  // the record an _arun coroutine keeps its arguments in
    // The warnings filter entry that keeps pandas' deprecation of set_index's `inplace` from the
    // caller: ("ignore", that message as a compiled pattern, Warning, None, 0).
    PyObject* set_index_filter = nullptr;

    // What ts_forecast's day numbers and intervals depend on, as bound when the module's
    // statements had run: the day arithmetic is done on the raw datetime64 values only while all
    // of it is still in place (see NanosecondValues). Null when it could not be captured, which
    // leaves every call on the interpreter-object path.
    PyObject* pandas_module = nullptr;        // the object `pd` was bound to
    PyObject* series_type = nullptr;          // pd.Series
    PyObject* timestamp_type = nullptr;       // pd.Timestamp
    PyObject* timedelta_type = nullptr;       // pd.Timedelta
    PyObject* range_index_type = nullptr;     // pd.RangeIndex
    PyObject* datetime_array_type = nullptr;  // pd.arrays.DatetimeArray: what boxes each row
    // numpy.dtype("datetime64[s]"), "datetime64[ms]", "datetime64[us]", "datetime64[ns]"
    PyObject* unit_dtypes[time_unit_count] = {};
    std::size_t epoch_unit = 0;  // the unit of pd.Timestamp("1970-01-01"), as an index of those
    // datetime.timedelta, what `timedelta` was bound to; null when it is a type that could be
    // changed, which leaves the loop of future dates as it is written (see
    // fail_at_first_unrepresentable_date)
    PyObject* timedelta_class = nullptr;
    // The version tags of the five types when captured; any change to a type or one of its bases
    // gives it a new tag, never an old one.
    unsigned int series_tag = 0;
    unsigned int timestamp_tag = 0;
    unsigned int timedelta_tag = 0;
    unsigned int range_index_tag = 0;
    unsigned int datetime_array_tag = 0;
};

// The module's state from the frame's view of it.
inline State& state_of(ModuleState& st) { return static_cast<State&>(st); }

}  // namespace orvelkit::auspex
