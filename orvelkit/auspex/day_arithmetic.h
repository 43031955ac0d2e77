// ts_forecast's day arithmetic on the raw datetime64 values of its dates. Throws PyErrorSet
// where a function says so.
#pragma once

#include "auspex/state.h"

#include <cstring>

namespace orvelkit::auspex {

// For a Series of time-zone-naive datetime64 values, the day numbers and the intervals are fixed
// by the int64 counts behind it: (t - Timestamp("1970-01-01")).days and (t1 - t0).days are the
// floor of the count difference over the counts in one day of the Series' unit. pandas 2 converts
// date texts to nanoseconds, pandas 3 to microseconds, and a table may hold seconds or
// milliseconds already. Computing from the counts replaces two loops that box a Timestamp and a
// Timedelta per row. The shortcut is taken only where nothing the row-by-row loops would run can
// differ, checked the way the interpreter checks its own specialisations: the exact types captured
// at import with their version tags unchanged (patching a method of a type or of one of its bases
// gives it a new tag), `pd` and `pd.Timestamp` still the objects bound then, the default index
// 0..n-1, no NaT, and every value within what the subtraction of the epoch can hold.

// The counts in one day, per unit in the order of State::unit_dtypes.
inline constexpr long long counts_per_day[time_unit_count] = {
    86'400LL, 86'400'000LL, 86'400'000'000LL, 86'400'000'000'000LL};

// The values of a dates Series as int64 counts since 1970 in its unit, held through the buffer
// protocol on an int64 view of its array while this object lives.
class DatetimeCounts : Pinned {
public:
    DatetimeCounts() = default;
    ~DatetimeCounts() {
        if (held_) PyBuffer_Release(&view_);
    }

    // True when every condition of the shortcut holds for `dates` at this moment, with the values
    // then readable; false otherwise. Throws PyErrorSet only when a read that cannot fail for
    // these exact types fails anyway (memory).
    bool acquire(const State& st, PyObject* dates);

    Py_ssize_t size() const { return view_.shape[0]; }
    long long per_day() const { return counts_per_day[unit_]; }
    long long operator[](Py_ssize_t i) const {
        long long value;
        std::memcpy(&value, static_cast<const char*>(view_.buf) + i * view_.strides[0],
                    sizeof value);
        return value;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    std::size_t unit_ = 0;
};

// The types and globals the row-by-row loops would use are still those captured at import.
bool bindings_unchanged(const State& st);

// [(date - pd.Timestamp("1970-01-01")).days for date in dates], from the counts.
Ref day_numbers(const DatetimeCounts& values);

// [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)], from the counts; empty when a
// difference does not fit in a Timedelta.
Ref try_day_intervals(const DatetimeCounts& values);

// Captures once, after the imports have bound `pd`, what the shortcut depends on; an ordinary
// failure leaves it off.
void capture_day_arithmetic(State& st);

}  // namespace orvelkit::auspex
