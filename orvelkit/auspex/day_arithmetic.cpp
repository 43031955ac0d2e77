// ts_forecast's day numbers and intervals computed from the raw datetime64 counts of a dates
// Series, while everything the row-by-row loops would run is still what was captured at import.
// Includes only the frame, this module's own headers and the standard library.
#include "auspex/day_arithmetic.h"

#include "frame/names.h"

#include <cstring>
#include <limits>
#include <string_view>

namespace orvelkit::auspex {

namespace {

constexpr Name unit_dtype_names[time_unit_count] = {"datetime64_s"_n, "datetime64_ms"_n,
                                                    "datetime64_us"_n, "datetime64_ns"_n};
constexpr long long not_a_time = std::numeric_limits<long long>::min();  // how datetime64 holds NaT

bool tag_unchanged(PyObject* type, unsigned int captured) {
    return captured != 0 && type_version_tag(reinterpret_cast<PyTypeObject*>(type)) == captured;
}

// An exact int equal to `expected`; never runs Python code.
bool is_exact_int(PyObject* o, long long expected) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
    return overflow == 0 && value == expected;
}

// A struct-module format for an 8-byte signed integer in native byte order.
bool is_native_int64_format(const char* format) {
    if (!format) return false;
    if (*format == '@' || *format == '=' || (*format == '<' && PY_LITTLE_ENDIAN)) {
        ++format;
    }
    return (format[0] == 'l' || format[0] == 'q') && format[1] == '\0';
}

// Whole days in a count, rounded towards minus infinity as Timedelta.days is.
long long floor_days(long long count, long long per_day) {
    long long days = count / per_day;
    if (count % per_day < 0) --days;
    return days;
}

// The index in `dtypes` of a numpy dtype equal to `dtype` and of the same class, or
// time_unit_count for none: a time zone makes pandas' own dtype, and pandas knows no other unit.
std::size_t time_unit_of(PyObject* const (&dtypes)[time_unit_count], PyObject* dtype) {
    for (std::size_t unit = 0; unit < time_unit_count; ++unit) {
        if (Py_TYPE(dtype) == Py_TYPE(dtypes[unit]) &&
            check_status(PyObject_RichCompareBool(dtype, dtypes[unit], Py_EQ)) == 1) {
            return unit;
        }
    }
    return time_unit_count;
}

// pandas subtracts two timestamps in the finer of their units, and refuses (OutOfBoundsDatetime)
// where the coarser one's count does not fit in the finer unit. pandas 3's epoch is in
// microseconds, so a date in seconds or milliseconds meets that limit long before its own.
bool fits_epoch_unit(const DatetimeCounts& values, std::size_t unit, std::size_t epoch_unit) {
    if (unit >= epoch_unit) return true;
    long long factor = 1;
    for (std::size_t u = unit; u < epoch_unit; ++u) factor *= 1000;
    for (Py_ssize_t i = 0; i < values.size(); ++i) {
        long long converted;
        if (__builtin_mul_overflow(values[i], factor, &converted)) return false;
    }
    return true;
}

}  // namespace

// The types and globals the row-by-row loops would use are those captured at import. Both
// globals are looked up in their dicts, never through code that could run; a missing one simply
// sends the call down the row-by-row path.
bool bindings_unchanged(const State& st) {
    if (!tag_unchanged(st.series_type, st.series_tag) ||
        !tag_unchanged(st.timestamp_type, st.timestamp_tag) ||
        !tag_unchanged(st.timedelta_type, st.timedelta_tag) ||
        !tag_unchanged(st.range_index_type, st.range_index_tag) ||
        !tag_unchanged(st.datetime_array_type, st.datetime_array_tag)) {
        return false;
    }
    PyObject* pd = PyDict_GetItemWithError(st.dict, st.s("pd"_n));
    if (pd != st.pandas_module) {
        if (PyErr_Occurred()) throw_error();
        return false;
    }
    PyObject* timestamp = PyDict_GetItemWithError(PyModule_GetDict(pd), st.s("Timestamp"_n));
    if (timestamp != st.timestamp_type) {
        if (PyErr_Occurred()) throw_error();
        return false;
    }
    return true;
}

bool DatetimeCounts::acquire(const State& st, PyObject* dates) {
    if (!st.pandas_module) return false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(dates)) != st.series_type) return false;
    if (!bindings_unchanged(st)) return false;

    Ref index = attr(dates, st.s("index"_n));
    if (reinterpret_cast<PyObject*>(Py_TYPE(index.get())) != st.range_index_type) return false;
    if (!is_exact_int(attr(index, st.s("start"_n)).get(), 0) ||
        !is_exact_int(attr(index, st.s("step"_n)).get(), 1)) {
        return false;
    }
    Ref stop = attr(index, st.s("stop"_n));
    Ref dtype = attr(dates, st.s("dtype"_n));
    unit_ = time_unit_of(st.unit_dtypes, dtype.get());
    if (unit_ == time_unit_count) return false;
    // The row-by-row loops box each row through the Series' own array; a subclass of it could
    // box differently.
    Ref boxes = attr(dates, st.s("array"_n));
    if (reinterpret_cast<PyObject*>(Py_TYPE(boxes.get())) != st.datetime_array_type) return false;
    Ref array = attr(dates, st.s("values"_n));
    Ref integers = call_method(array, st.s("view"_n), {st.s("int64"_n)});
    check_status(PyObject_GetBuffer(integers.get(), &view_, PyBUF_STRIDES | PyBUF_FORMAT));
    held_ = true;
    if (view_.ndim != 1 || view_.itemsize != 8 || !is_native_int64_format(view_.format) ||
        !is_exact_int(stop.get(), view_.shape[0])) {
        return false;
    }
    for (Py_ssize_t i = 0; i < size(); ++i) {
        if ((*this)[i] == not_a_time) return false;
    }
    if (!fits_epoch_unit(*this, unit_, st.epoch_unit)) return false;
    // Once more, now that pandas' properties have run (another thread may have run with them);
    // from here on nothing but this module's own C code runs until the lists are made.
    return bindings_unchanged(st);
}

// [(date - pd.Timestamp("1970-01-01")).days for date in dates], from the counts.
Ref day_numbers(const DatetimeCounts& values) {
    Ref list = check(PyList_New(values.size()));
    for (Py_ssize_t i = 0; i < values.size(); ++i) {
        const long long days = floor_days(values[i], values.per_day());
        PyList_SET_ITEM(list.get(), i, check(PyLong_FromLongLong(days)).release());
    }
    return list;
}

// [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)], from the counts. Empty when a
// difference does not fit in a Timedelta: the row-by-row loop then raises pandas' own error for
// it.
Ref try_day_intervals(const DatetimeCounts& values) {
    const Py_ssize_t count = values.size() > 1 ? values.size() - 1 : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        long long difference;
        if (__builtin_sub_overflow(values[i + 1], values[i], &difference) ||
            difference == not_a_time) {
            return Ref();
        }
    }
    Ref list = check(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long long days = floor_days(values[i + 1] - values[i], values.per_day());
        PyList_SET_ITEM(list.get(), i, check(PyLong_FromLongLong(days)).release());
    }
    return list;
}

// Captures once, after the imports have bound `pd`, what the shortcut depends on. It is an
// optimisation only: an ordinary failure leaves it off and the import goes on.
void capture_day_arithmetic(State& st) {
    if (st.pandas_module) return;
    try {
        Ref pd = global(st, "pd"_n);
        Ref numpy = Ref::steal(PyImport_GetModule(st.s("numpy"_n)));  // never imports
        if (!numpy) {
            if (PyErr_Occurred()) throw_error();
            return;
        }
        if (!PyModule_CheckExact(pd.get())) return;
        Ref make_dtype = attr(numpy, st.s("dtype"_n));
        Ref dtypes[time_unit_count];
        PyObject* dtype_pointers[time_unit_count];
        for (std::size_t unit = 0; unit < time_unit_count; ++unit) {
            dtypes[unit] = call(make_dtype, {st.s(unit_dtype_names[unit])});
            dtype_pointers[unit] = dtypes[unit].get();
        }
        Ref epoch = call(attr(pd, st.s("Timestamp"_n)), {st.s("epoch_text"_n)});
        Ref epoch_dtype = attr(attr(epoch, st.s("asm8"_n)), st.s("dtype"_n));
        const std::size_t epoch_unit = time_unit_of(dtype_pointers, epoch_dtype.get());
        if (epoch_unit == time_unit_count) return;
        // A lookup through each type gives it a version tag if it has none yet.
        std::pair<Ref, Name> types[] = {
            {attr(pd, st.s("Series"_n)), "index"_n},
            {attr(pd, st.s("Timestamp"_n)), "strftime"_n},
            {attr(pd, st.s("Timedelta"_n)), "days"_n},
            {attr(pd, st.s("RangeIndex"_n)), "start"_n},
            {attr(attr(pd, st.s("arrays"_n)), st.s("DatetimeArray"_n)), "strftime"_n}};
        unsigned int tags[std::size(types)];
        for (std::size_t i = 0; i < std::size(types); ++i) {
            if (!PyType_Check(types[i].first.get())) return;
            Ref ignored = attr(types[i].first, st.s(types[i].second));
            tags[i] = type_version_tag(reinterpret_cast<PyTypeObject*>(types[i].first.get()));
            if (tags[i] == 0) return;
        }
        // datetime's timedelta is a type nobody can change; anything else bound there could be.
        Ref timedelta = global(st, "timedelta"_n);
        const bool fixed_timedelta = PyType_Check(timedelta.get()) &&
                                     PyType_HasFeature(
                                         reinterpret_cast<PyTypeObject*>(timedelta.get()),
                                         Py_TPFLAGS_IMMUTABLETYPE);
        // No failure past here: the fields are filled together or not at all.
        st.series_type = types[0].first.release();
        st.timestamp_type = types[1].first.release();
        st.timedelta_type = types[2].first.release();
        st.range_index_type = types[3].first.release();
        st.datetime_array_type = types[4].first.release();
        st.series_tag = tags[0];
        st.timestamp_tag = tags[1];
        st.timedelta_tag = tags[2];
        st.range_index_tag = tags[3];
        st.datetime_array_tag = tags[4];
        for (std::size_t unit = 0; unit < time_unit_count; ++unit) {
            st.unit_dtypes[unit] = dtypes[unit].release();
        }
        st.epoch_unit = epoch_unit;
        if (fixed_timedelta) st.timedelta_class = timedelta.release();
        st.pandas_module = pd.release();
    } catch (const PyErrorSet&) {
        if (!pending_is_exception()) throw;
        PyErr_Clear();
    }
}

}  // namespace orvelkit::auspex
