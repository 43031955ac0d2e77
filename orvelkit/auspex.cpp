// orvelkit.auspex: the forecasting tool. A straight-line forecast over a DataFrame of dated values,
// date normalisation, the pydantic input schema and the LangChain tool with its async refusal.
// Includes only the frame and the standard library.
#include "frame/coroutine.h"
#include "frame/names.h"
#include "frame/record.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

namespace {

using namespace orvelkit::frame;

// ---- string table -----------------------------------------------------------------------------

enum class S : std::size_t {
    module_name,
    // imports
    pandas,
    pd,
    datetime,
    timedelta,
    dateutil,
    parser,
    sklearn_linear_model,
    LinearRegression,
    re,
    pydantic,
    BaseModel,
    Field,
    typing,
    Dict,
    json,
    langchain_tools_base,
    BaseTool,
    langchain,
    langchain_tools,
    langchain_core_tools,
    decimal,
    Decimal,
    traceback,
    NotImplementedError,
    sum,
    range,
    // classes and functions
    ForecastInput,
    Config,
    ForecastInput_Config,
    arbitrary_types_allowed,
    model_config,
    ignored_types,
    description,
    name,
    Auspex,
    conv_date,
    ts_forecast,
    // parameters and locals
    self,
    input,
    data,
    dt,
    parsed_date,
    standardized_date,
    df,
    period,
    dates,
    values,
    x,
    model,
    date_intervals,
    average_interval,
    last_date,
    forecast_dates,
    forecast_x,
    forecast,
    future_dates,
    forecast_df,
    date,
    i,
    sequence,
    seq,
    val,
    result,
    e,
    d,
    return_,
    // attributes and keywords
    parse,
    strftime,
    to_datetime,
    set_index,
    inplace,
    Timestamp,
    days,
    fit,
    predict,
    max,
    DataFrame,
    loads,
    match,
    print_exc,
    empty,
    replace,
    error,
    // warnings our own statements cause
    warnings,
    filters,
    ignore,
    compile,
    pydantic_warnings,
    PydanticDeprecatedSince20,
    set_index_deprecation,
    // literals
    ymd_format,
    timestamp,
    epoch_text,
    Forecasted_values,
    data_input,
    decimal_pattern,
    single_quote,
    double_quote,
    decimal_close,
    year_zeros,
    not_a_valid_decimal,
    empty_forecast,
    no_async,
    forecast_name,
    tool_description,
    tool_doc,
    schema_doc,
    df_description,
    period_description,
    text_pd_DataFrame,
    text_int,
    text_str,
    text_Dict,
    // what the native day arithmetic checks and reads
    numpy,
    dtype,
    datetime64_s,
    datetime64_ms,
    datetime64_us,
    datetime64_ns,
    Series,
    Timedelta,
    RangeIndex,
    arrays,
    DatetimeArray,
    array,
    index,
    start,
    stop,
    step,
    view,
    int64,
    asm8,
    count,
};

constexpr NamedRow<S> string_table[] = {
    {S::module_name, text("orvelkit.auspex")},
    {S::pandas, ident("pandas")},
    {S::pd, ident("pd")},
    {S::datetime, ident("datetime")},
    {S::timedelta, ident("timedelta")},
    {S::dateutil, ident("dateutil")},
    {S::parser, ident("parser")},
    {S::sklearn_linear_model, text("sklearn.linear_model")},
    {S::LinearRegression, ident("LinearRegression")},
    {S::re, ident("re")},
    {S::pydantic, ident("pydantic")},
    {S::BaseModel, ident("BaseModel")},
    {S::Field, ident("Field")},
    {S::typing, ident("typing")},
    {S::Dict, ident("Dict")},
    {S::json, ident("json")},
    {S::langchain_tools_base, text("langchain.tools.base")},
    {S::BaseTool, ident("BaseTool")},
    {S::langchain, ident("langchain")},
    {S::langchain_tools, text("langchain.tools")},
    {S::langchain_core_tools, text("langchain_core.tools")},
    {S::decimal, ident("decimal")},
    {S::Decimal, ident("Decimal")},
    {S::traceback, ident("traceback")},
    {S::NotImplementedError, ident("NotImplementedError")},
    {S::sum, ident("sum")},
    {S::range, ident("range")},
    {S::ForecastInput, ident("ForecastInput")},
    {S::Config, ident("Config")},
    {S::ForecastInput_Config, text("ForecastInput.Config")},
    {S::arbitrary_types_allowed, ident("arbitrary_types_allowed")},
    {S::model_config, ident("model_config")},
    {S::ignored_types, ident("ignored_types")},
    {S::description, ident("description")},
    {S::name, ident("name")},
    {S::Auspex, ident("Auspex")},
    {S::conv_date, ident("conv_date")},
    {S::ts_forecast, ident("ts_forecast")},
    {S::self, ident("self")},
    {S::input, ident("input")},
    {S::data, ident("data")},
    {S::dt, ident("dt")},
    {S::parsed_date, ident("parsed_date")},
    {S::standardized_date, ident("standardized_date")},
    {S::df, ident("df")},
    {S::period, ident("period")},
    {S::dates, ident("dates")},
    {S::values, ident("values")},
    {S::x, ident("x")},
    {S::model, ident("model")},
    {S::date_intervals, ident("date_intervals")},
    {S::average_interval, ident("average_interval")},
    {S::last_date, ident("last_date")},
    {S::forecast_dates, ident("forecast_dates")},
    {S::forecast_x, ident("forecast_x")},
    {S::forecast, ident("forecast")},
    {S::future_dates, ident("future_dates")},
    {S::forecast_df, ident("forecast_df")},
    {S::date, ident("date")},
    {S::i, ident("i")},
    {S::sequence, ident("sequence")},
    {S::seq, ident("seq")},
    {S::val, ident("val")},
    {S::result, ident("result")},
    {S::e, ident("e")},
    {S::d, ident("d")},
    {S::return_, ident("return")},
    {S::parse, ident("parse")},
    {S::strftime, ident("strftime")},
    {S::to_datetime, ident("to_datetime")},
    {S::set_index, ident("set_index")},
    {S::inplace, ident("inplace")},
    {S::Timestamp, ident("Timestamp")},
    {S::days, ident("days")},
    {S::fit, ident("fit")},
    {S::predict, ident("predict")},
    {S::max, ident("max")},
    {S::DataFrame, ident("DataFrame")},
    {S::loads, ident("loads")},
    {S::match, ident("match")},
    {S::print_exc, ident("print_exc")},
    {S::empty, ident("empty")},
    {S::replace, ident("replace")},
    {S::error, ident("error")},
    {S::warnings, ident("warnings")},
    {S::filters, ident("filters")},
    {S::ignore, ident("ignore")},
    {S::compile, ident("compile")},
    {S::pydantic_warnings, text("pydantic.warnings")},
    {S::PydanticDeprecatedSince20, ident("PydanticDeprecatedSince20")},
    {S::set_index_deprecation, text("The inplace keyword in .+\\.set_index is deprecated")},
    {S::ymd_format, text("%Y-%m-%d")},
    {S::timestamp, ident("timestamp")},
    {S::epoch_text, text("1970-01-01")},
    {S::Forecasted_values, ident("Forecasted_values")},
    {S::data_input, ident("data_input")},
    {S::decimal_pattern, text("Decimal\\('[\\d.]+'\\)")},
    {S::single_quote, text("'")},
    {S::double_quote, text("\"")},
    {S::decimal_close, text("')")},
    {S::year_zeros, text("000")},
    {S::not_a_valid_decimal,
     text(" is not a valid decimal: nothing may follow the closing parenthesis of Decimal('...')")},
    {S::empty_forecast, text("Forecasting produced an empty DataFrame.")},
    {S::no_async, text("Auspex does not support async")},
    {S::forecast_name, text("forecast")},
    {S::tool_description, text("\n    Use this tool for time series forecasting\n    ")},
    {S::tool_doc, text("Tool for time series forecasting.")},
    {S::schema_doc, text("\n    Inputs for the forecasting function.\n    ")},
    {S::df_description, text("Input dataset as a DataFrame")},
    {S::period_description, text("The period to forecast")},
    {S::text_pd_DataFrame, text("pd.DataFrame")},
    {S::text_int, text("int")},
    {S::text_str, text("str")},
    {S::text_Dict, text("Dict")},
    {S::numpy, ident("numpy")},
    {S::dtype, ident("dtype")},
    {S::datetime64_s, text("datetime64[s]")},
    {S::datetime64_ms, text("datetime64[ms]")},
    {S::datetime64_us, text("datetime64[us]")},
    {S::datetime64_ns, text("datetime64[ns]")},
    {S::Series, ident("Series")},
    {S::Timedelta, ident("Timedelta")},
    {S::RangeIndex, ident("RangeIndex")},
    {S::arrays, ident("arrays")},
    {S::DatetimeArray, ident("DatetimeArray")},
    {S::array, ident("array")},
    {S::index, ident("index")},
    {S::start, ident("start")},
    {S::stop, ident("stop")},
    {S::step, ident("step")},
    {S::view, ident("view")},
    {S::int64, ident("int64")},
    {S::asm8, ident("asm8")},
};
static_assert(rows_in_order(string_table), "string_table rows must follow the order of S");
constexpr auto string_rows = rows_of(string_table);

// Builtins the module never assigns, read once at initialisation.
enum class B : std::size_t { NotImplementedError, sum, range, count };
constexpr std::size_t cached_builtin_rows[] = {row(S::NotImplementedError), row(S::sum),
                                               row(S::range)};
static_assert(std::size(cached_builtin_rows) == static_cast<std::size_t>(B::count));

// ---- module state -----------------------------------------------------------------------------

void make_numbers(ModuleState& st);
void make_tuples(ModuleState& st);
void ready_types(ModuleState& st);
void run_statements(Frame& frame);

constexpr ModuleDescriptor descriptor{
    .short_name = "auspex",
    .full_name = "orvelkit.auspex",
    .file_name = "orvelkit\\auspex",
    .strings = string_rows,
    .cached_builtins = cached_builtin_rows,
    .registers_coroutine = true,
    .make_numbers = make_numbers,
    .make_tuples = make_tuples,
    .ready_types = ready_types,
    .run_statements = run_statements,
};

// pandas' datetime64 units: seconds, milliseconds, microseconds, nanoseconds.
constexpr std::size_t time_unit_count = 4;

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

State g_state{descriptor};

State& state_of(ModuleState& st) { return static_cast<State&>(st); }

void make_numbers(ModuleState& base) {
    State& st = state_of(base);
    keep(st.int_0, check(PyLong_FromLong(0)));
    keep(st.int_1, check(PyLong_FromLong(1)));
    keep(st.int_1970, check(PyLong_FromLong(1970)));
}

void make_tuples(ModuleState& base) {
    State& st = state_of(base);
    keep(st.kw_description, make_tuple({st.s(S::description)}));
    keep(st.kw_inplace, make_tuple({st.s(S::inplace)}));
    keep(st.kw_days, make_tuple({st.s(S::days)}));
}

// ---- the closure record of _arun ------------------------------------------------------------

struct ArunClosure {
    PyObject_HEAD
    PyObject* self;  // owned
    PyObject* data;  // owned
};

ArunClosure* as_closure(PyObject* o) { return reinterpret_cast<ArunClosure*>(o); }

// Follows the bound arguments for the cycle collector.
int closure_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(as_closure(o)->self);
    Py_VISIT(as_closure(o)->data);
    return 0;
}

int closure_clear(PyObject* o) {
    Py_CLEAR(as_closure(o)->self);
    Py_CLEAR(as_closure(o)->data);
    return 0;
}

// One allocation path: PyObject_GC_New on this static type.
void closure_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    closure_clear(o);
    Py_TYPE(o)->tp_free(o);
}

PyTypeObject closure_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

void ready_types(ModuleState& base) {
    State& st = state_of(base);
    if (st.closure_type) return;
    closure_type.tp_name = "orvelkit.auspex._arun_closure";
    closure_type.tp_basicsize = sizeof(ArunClosure);
    closure_type.tp_dealloc = closure_dealloc;
    closure_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    closure_type.tp_traverse = closure_traverse;
    closure_type.tp_clear = closure_clear;
    ready_type_gc_off(st, &closure_type);
    st.closure_type = &closure_type;
}

// ---- conv_date ----------------------------------------------------------------------------------

constexpr Py_ssize_t year_width = 4;  // YYYY

// This interpreter's strftime writes years before 1000 with fewer than four digits ("999-12-31");
// the text promised is YYYY-MM-DD, as later interpreters write it. Only a result that starts with
// such a short year is padded; anything else is returned as strftime gave it.
Ref pad_short_year(const State& st, Ref&& text) {
    if (!PyUnicode_CheckExact(text.get()) || !PyUnicode_IS_ASCII(text.get()))
        return std::move(text);
    const char* chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.get()));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    // Only a year shorter than four digits matters, so the count stops there.
    Py_ssize_t digits = 0;
    while (digits < length && digits < year_width && chars[digits] >= '0' && chars[digits] <= '9')
        ++digits;
    if (digits == 0 || digits >= year_width || digits == length || chars[digits] != '-') {
        return std::move(text);
    }
    Ref zeros = check(PyUnicode_Substring(st.s(S::year_zeros), 0, year_width - digits));
    return concat({zeros.get(), text.get()});
}

Ref conv_date_body(Frame& f, PyObject* const* a) {
    const State& st = g_state;
    PyObject* dt = a[0];
    f.at(68);
    Ref parsed_date = call_method(global(st, S::parser).get(), st.s(S::parse), {dt});
    f.at(69);
    Ref standardized_date = call_method(parsed_date.get(), st.s(S::strftime),
                                        {st.s(S::ymd_format)});
    return pad_short_year(st, std::move(standardized_date));
}

// ---- warnings that the module's own statements cause ------------------------------------------

// An "ignore" entry in front of the interpreter's warnings filters while one statement runs, for a
// warning about the way this module calls a library, never about the caller's data. The entry
// leaves the very list it went into, found by identity: filters added meanwhile stay, and a list
// that catch_warnings swapped in meanwhile (copying the entry) is left to catch_warnings, which
// itself puts back the whole list it saved and so would drop whatever was added inside. Another
// thread's warning of the same kind in that moment is ignored too.
class IgnoredWarnings {
public:
    // `entry` is a filter tuple. Throws PyErrorSet when the warnings module cannot be read; with
    // a filters object that is no list, the interpreter itself refuses every warning, and nothing
    // is added.
    IgnoredWarnings(const State& st, Ref&& entry) : entry_(std::move(entry)) {
        Ref warnings = import_module(st, st.s(S::warnings));
        Ref filters = attr(warnings.get(), st.s(S::filters));
        if (!PyList_Check(filters.get())) return;
        check_status(PyList_Insert(filters.get(), 0, entry_.get()));
        filters_ = std::move(filters);
    }
    IgnoredWarnings(const IgnoredWarnings&) = delete;
    IgnoredWarnings& operator=(const IgnoredWarnings&) = delete;
    // Runs no Python code and cannot fail: taking one item out of a list allocates nothing, and
    // the entry itself is still held here.
    ~IgnoredWarnings() {
        if (!filters_) return;
        PyObject* filters = filters_.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters); ++i) {
            if (PyList_GET_ITEM(filters, i) != entry_.get()) continue;
            ErrorSetAside aside;
            if (PyList_SetSlice(filters, i, i + 1, nullptr) < 0) PyErr_Clear();
            return;
        }
    }

private:
    Ref entry_;
    Ref filters_;  // the list the entry went into; empty when it went nowhere
};

// The filter entry for set_index's deprecated `inplace`, made once at initialisation. The text
// names the table's own class, so the pattern leaves it open.
void make_set_index_filter(State& st) {
    if (st.set_index_filter) return;
    Ref re = import_module(st, st.s(S::re));
    Ref pattern = call_method(re.get(), st.s(S::compile), {st.s(S::set_index_deprecation)});
    keep(st.set_index_filter,
         make_tuple({st.s(S::ignore), pattern.get(), PyExc_Warning, Py_None, st.int_0}));
}

// ---- ts_forecast --------------------------------------------------------------------------------

// Automatic collection held off for a stretch of allocations that runs no Python code. Each
// one-element row below is a new tracked container, so at 10^5 rows the collector would walk the
// young rows every 700 allocations and the whole heap several times; after the pause it runs
// once, on its usual thresholds, with nothing else changed.
class CollectionPause {
public:
    CollectionPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
    CollectionPause(const CollectionPause&) = delete;
    CollectionPause& operator=(const CollectionPause&) = delete;
    ~CollectionPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

// [[v] for v in values]: the n×1 design matrix of the regression. `values` is a list this
// function's caller built, so walking it runs no Python code.
// The matrix is made at its full length and filled in place, so no row is ever copied by a
// resize; an error part way leaves empty slots, which the list's deallocation skips.
Ref column_matrix(PyObject* values) {
    const Py_ssize_t length = PyList_GET_SIZE(values);
    Ref matrix = check(PyList_New(length));
    CollectionPause pause;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Ref row_list = check(PyList_New(1));
        PyList_SET_ITEM(row_list.get(), 0, Py_NewRef(PyList_GET_ITEM(values, i)));
        PyList_SET_ITEM(matrix.get(), i, row_list.release());
    }
    return matrix;
}

// (a - b).days
Ref days_between(const State& st, PyObject* a, PyObject* b) {
    Ref difference = check(PyNumber_Subtract(a, b));
    return attr(difference.get(), st.s(S::days));
}

// ---- day arithmetic on the raw datetime64 values -----------------------------------------------

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
constexpr long long counts_per_day[time_unit_count] = {86'400LL, 86'400'000LL, 86'400'000'000LL,
                                                       86'400'000'000'000LL};
constexpr S unit_dtype_names[time_unit_count] = {S::datetime64_s, S::datetime64_ms,
                                                 S::datetime64_us, S::datetime64_ns};
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

// The values of a dates Series as int64 counts since 1970 in its unit, held through the buffer
// protocol on an int64 view of its array while this object lives.
class DatetimeCounts {
public:
    DatetimeCounts() = default;
    DatetimeCounts(const DatetimeCounts&) = delete;
    DatetimeCounts& operator=(const DatetimeCounts&) = delete;
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
    PyObject* pd = PyDict_GetItemWithError(st.dict, st.s(S::pd));
    if (pd != st.pandas_module) {
        if (PyErr_Occurred()) throw_error();
        return false;
    }
    PyObject* timestamp = PyDict_GetItemWithError(PyModule_GetDict(pd), st.s(S::Timestamp));
    if (timestamp != st.timestamp_type) {
        if (PyErr_Occurred()) throw_error();
        return false;
    }
    return true;
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

bool DatetimeCounts::acquire(const State& st, PyObject* dates) {
    if (!st.pandas_module) return false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(dates)) != st.series_type) return false;
    if (!bindings_unchanged(st)) return false;

    Ref index = attr(dates, st.s(S::index));
    if (reinterpret_cast<PyObject*>(Py_TYPE(index.get())) != st.range_index_type) return false;
    if (!is_exact_int(attr(index.get(), st.s(S::start)).get(), 0) ||
        !is_exact_int(attr(index.get(), st.s(S::step)).get(), 1)) {
        return false;
    }
    Ref stop = attr(index.get(), st.s(S::stop));
    Ref dtype = attr(dates, st.s(S::dtype));
    unit_ = time_unit_of(st.unit_dtypes, dtype.get());
    if (unit_ == time_unit_count) return false;
    // The row-by-row loops box each row through the Series' own array; a subclass of it could
    // box differently.
    Ref boxes = attr(dates, st.s(S::array));
    if (reinterpret_cast<PyObject*>(Py_TYPE(boxes.get())) != st.datetime_array_type) return false;
    Ref array = attr(dates, st.s(S::values));
    Ref integers = call_method(array.get(), st.s(S::view), {st.s(S::int64)});
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
        Ref pd = global(st, S::pd);
        Ref numpy = Ref::steal(PyImport_GetModule(st.s(S::numpy)));  // never imports
        if (!numpy) {
            if (PyErr_Occurred()) throw_error();
            return;
        }
        if (!PyModule_CheckExact(pd.get())) return;
        Ref make_dtype = attr(numpy.get(), st.s(S::dtype));
        Ref dtypes[time_unit_count];
        PyObject* dtype_pointers[time_unit_count];
        for (std::size_t unit = 0; unit < time_unit_count; ++unit) {
            dtypes[unit] = call(make_dtype.get(), {st.s(unit_dtype_names[unit])});
            dtype_pointers[unit] = dtypes[unit].get();
        }
        Ref epoch = call(attr(pd.get(), st.s(S::Timestamp)).get(), {st.s(S::epoch_text)});
        Ref epoch_dtype = attr(attr(epoch.get(), st.s(S::asm8)).get(), st.s(S::dtype));
        const std::size_t epoch_unit = time_unit_of(dtype_pointers, epoch_dtype.get());
        if (epoch_unit == time_unit_count) return;
        // A lookup through each type gives it a version tag if it has none yet.
        std::pair<Ref, S> types[] = {
            {attr(pd.get(), st.s(S::Series)), S::index},
            {attr(pd.get(), st.s(S::Timestamp)), S::strftime},
            {attr(pd.get(), st.s(S::Timedelta)), S::days},
            {attr(pd.get(), st.s(S::RangeIndex)), S::start},
            {attr(attr(pd.get(), st.s(S::arrays)).get(), st.s(S::DatetimeArray)), S::strftime}};
        unsigned int tags[std::size(types)];
        for (std::size_t i = 0; i < std::size(types); ++i) {
            if (!PyType_Check(types[i].first.get())) return;
            Ref ignored = attr(types[i].first.get(), st.s(types[i].second));
            tags[i] = type_version_tag(reinterpret_cast<PyTypeObject*>(types[i].first.get()));
            if (tags[i] == 0) return;
        }
        // datetime's timedelta is a type nobody can change; anything else bound there could be.
        Ref timedelta = global(st, S::timedelta);
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

// ---- the loop of future dates -------------------------------------------------------------------

// last_date + timedelta(days=i * average_interval): one future date, as the loop makes it.
Ref future_date(const State& st, PyObject* timedelta, PyObject* last_date,
                PyObject* average_interval, PyObject* i) {
    Ref span_days = check(PyNumber_Multiply(i, average_interval));
    Ref span = call_kw(timedelta, {span_days.get()}, st.kw_days);
    return check(PyNumber_Add(last_date, span.get()));
}

// Whether the future date for i can be made; its ordinary failure is dropped, anything else
// (KeyboardInterrupt) goes on.
bool future_date_fits(const State& st, PyObject* last_date, PyObject* average_interval,
                      PyObject* i) {
    try {
        Ref date = future_date(st, st.timedelta_class, last_date, average_interval, i);
        return true;
    } catch (const PyErrorSet&) {
        if (!pending_is_exception()) throw;
        PyErr_Clear();
        return false;
    }
}

// The loop makes the future dates one by one and fails at the first that cannot be represented,
// after making every one before it. pandas 3 holds dates up to the year 294,000, so a huge period
// meets that failure only after hundreds of millions of dates, if memory lasts that long. Where
// the loop runs nothing but pandas' and datetime's own arithmetic (the captured types unchanged,
// `timedelta` still datetime's), its dates move one way as i grows, and those that cannot be
// represented are all the ones from some i on. When the last date is among them, that first i is
// found by bisection and its own error raised: the very error the loop would reach, at once.
// Returns when the last date can be made or the loop's operations are not known to be these.
void fail_at_first_unrepresentable_date(const State& st, PyObject* last_date,
                                        PyObject* average_interval, PyObject* period) {
    if (!st.pandas_module || !st.timedelta_class) return;
    if (reinterpret_cast<PyObject*>(Py_TYPE(last_date)) != st.timestamp_type ||
        !PyFloat_CheckExact(average_interval) || !PyLong_CheckExact(period)) {
        return;
    }
    if (!bindings_unchanged(st)) return;
    PyObject* timedelta = PyDict_GetItemWithError(st.dict, st.s(S::timedelta));
    if (timedelta != st.timedelta_class) {
        if (PyErr_Occurred()) throw_error();
        return;
    }
    if (check_status(PyObject_RichCompareBool(period, st.int_1, Py_LT))) return;
    if (future_date_fits(st, last_date, average_interval, period)) return;
    // The date for `fits` can be made and the one for `fails` cannot; 0 stands for last_date.
    Ref fits = Ref::borrow(st.int_0);
    Ref fails = Ref::borrow(period);
    for (;;) {
        Ref gap = check(PyNumber_Subtract(fails.get(), fits.get()));
        if (check_status(PyObject_RichCompareBool(gap.get(), st.int_1, Py_LE))) break;
        Ref sum = check(PyNumber_Add(fits.get(), fails.get()));
        Ref middle = check(PyNumber_Rshift(sum.get(), st.int_1));
        if (future_date_fits(st, last_date, average_interval, middle.get())) {
            fits = std::move(middle);
        } else {
            fails = std::move(middle);
        }
    }
    Ref raised = future_date(st, st.timedelta_class, last_date, average_interval, fails.get());
}

Ref ts_forecast_body(Frame& f, PyObject* const* a) {
    const State& st = g_state;
    PyObject* df = a[0];
    PyObject* period = a[1];
    auto s = [&](S r) { return st.s(r); };
    auto g = [&](S r) { return global(st, r); };

    f.at(89);
    {
        Ref to_datetime = attr(g(S::pd).get(), s(S::to_datetime));
        Ref column = item(df, s(S::timestamp));
        set_item(df, s(S::timestamp), call(to_datetime.get(), {column.get()}).get());
    }
    f.at(90);
    Ref dates = item(df, s(S::timestamp));
    f.at(91);
    Ref values = item(df, s(S::values));
    f.at(92);
    {
        Ref set_index = attr(df, s(S::set_index));
        // pandas 3.1 deprecates `inplace` with a warning at every call, yet the caller's table is
        // to be re-indexed itself. The warning is about this call, not about the caller's data.
        IgnoredWarnings quiet(st, Ref::borrow(st.set_index_filter));
        Ref ignored = call_kw(set_index.get(), {s(S::timestamp), Py_True}, st.kw_inplace);
    }
    f.at(94);
    Ref x = [&] {
        DatetimeCounts counts;
        if (counts.acquire(st, dates.get())) return day_numbers(counts);
        return Ref();
    }();
    if (!x) {
        x = list_comprehension(dates.get(), [&](PyObject* date) {
            Ref timestamp = attr(g(S::pd).get(), s(S::Timestamp));
            Ref epoch = call(timestamp.get(), {s(S::epoch_text)});
            return days_between(st, date, epoch.get());
        });
    }
    f.at(97);
    Ref model = call(g(S::LinearRegression).get());
    f.at(98);
    Ref ignored_fit = call_method(model.get(), s(S::fit),
                                  {column_matrix(x.get()).get(), values.get()});
    // Checked again: fit may have run code that changed the Series or patched a type.
    f.at(101);
    Ref date_intervals = [&] {
        DatetimeCounts counts;
        if (counts.acquire(st, dates.get())) return try_day_intervals(counts);
        return Ref();
    }();
    if (!date_intervals) {
        date_intervals = new_list();
        const Py_ssize_t length = PyObject_Length(dates.get());
        if (length < 0) throw_error();
        for (Py_ssize_t i = 0; i + 1 < length; ++i) {
            Ref index = check(PyLong_FromSsize_t(i));
            Ref next_index = check(PyLong_FromSsize_t(i + 1));
            Ref later = item(dates.get(), next_index.get());
            Ref earlier = item(dates.get(), index.get());
            append(date_intervals.get(), days_between(st, later.get(), earlier.get()).get());
        }
    }
    f.at(102);
    Ref average_interval = [&] {
        Ref total = call(st.cached(B::sum), {date_intervals.get()});
        Ref count = check(PyLong_FromSsize_t(PyList_GET_SIZE(date_intervals.get())));
        return check(PyNumber_TrueDivide(total.get(), count.get()));
    }();
    f.at(103);
    Ref last_date = call_method(dates.get(), s(S::max));
    f.at(104);
    fail_at_first_unrepresentable_date(st, last_date.get(), average_interval.get(), period);
    Ref future_dates = [&] {
        Ref stop = check(PyNumber_Add(period, st.int_1));
        Ref steps = call(st.cached(B::range), {st.int_1, stop.get()});
        return list_comprehension(steps.get(), [&](PyObject* i) {
            Ref span_days = check(PyNumber_Multiply(i, average_interval.get()));
            Ref span = call_kw(g(S::timedelta).get(), {span_days.get()}, st.kw_days);
            return check(PyNumber_Add(last_date.get(), span.get()));
        });
    }();
    f.at(106);
    Ref forecast_x = list_comprehension(future_dates.get(), [&](PyObject* date) {
        Ref epoch = call(g(S::datetime).get(), {st.int_1970, st.int_1, st.int_1});
        return days_between(st, date, epoch.get());
    });
    f.at(107);
    Ref forecast = call_method(model.get(), s(S::predict), {column_matrix(forecast_x.get()).get()});
    f.at(110);
    Ref forecast_dates = list_comprehension(future_dates.get(), [&](PyObject* date) {
        return call_method(date, s(S::strftime), {s(S::ymd_format)});
    });
    f.at(111);
    Ref frame_type = attr(g(S::pd).get(), s(S::DataFrame));
    f.at(112);
    Ref columns = new_dict(
        {{s(S::dates), forecast_dates.get()}, {s(S::Forecasted_values), forecast.get()}});
    f.at(111);
    Ref forecast_df = call(frame_type.get(), {columns.get()});
    return forecast_df;
}

// ---- Auspex._run ---------------------------------------------------------------------------------

// The decimal number of a value written Decimal('digits'). The pattern has matched its start; a
// value with anything after the closing parenthesis is refused, never converted from its leading
// part.
Ref decimal_from_form(const State& st, PyObject* val) {
    constexpr auto digits_start = static_cast<Py_ssize_t>(std::string_view("Decimal('").size());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(val);
    const Py_ssize_t close = PyUnicode_Find(val, st.s(S::decimal_close), digits_start, length, 1);
    if (close == -2) throw_error();
    if (close < 0 || close + PyUnicode_GET_LENGTH(st.s(S::decimal_close)) != length) {
        Ref shown = check(PyObject_Repr(val));
        raise_object(PyExc_ValueError, concat({shown.get(), st.s(S::not_a_valid_decimal)}).get());
    }
    Ref digits = check(PyUnicode_Substring(val, digits_start, close));
    Ref decimal_module = import_module(st, st.s(S::decimal));
    Ref decimal_type = attr(decimal_module.get(), st.s(S::Decimal));
    return call(decimal_type.get(), {digits.get()});
}

Ref run_body(Frame& f, PyObject* const* a) {
    const State& st = g_state;
    Ref input = Ref::borrow(a[1]);
    auto s = [&](S r) { return st.s(r); };
    auto g = [&](S r) { return global(st, r); };

    f.at(34);
    Ref traceback = import_module(st, s(S::traceback));
    f.at(35);
    if (check_status(PyUnicode_Contains(input.get(), s(S::single_quote)))) {
        f.at(37);
        input = call_method(input.get(), s(S::replace), {s(S::single_quote), s(S::double_quote)});
    }
    return try_except(
        f,
        [&] {
            f.at(39);
            input = call(attr(g(S::json).get(), s(S::loads)).get(), {input.get()});
            f.at(40);
            Ref data = item(input.get(), s(S::data_input));
            f.at(41);
            Ref dates = item(data.get(), s(S::date));
            f.at(42);
            Ref sequence = item(data.get(), s(S::values));
            f.at(43);
            Ref seq = new_list();
            f.at(44);
            Ref it = check(PyObject_GetIter(sequence.get()));
            while (Ref val = Ref::steal(PyIter_Next(it.get()))) {
                f.at(45);
                bool decimal_form = false;
                if (Py_TYPE(val.get()) == &PyUnicode_Type) {
                    Ref found = call(attr(g(S::re).get(), s(S::match)).get(),
                                     {s(S::decimal_pattern), val.get()});
                    decimal_form = truth(found.get());
                }
                if (decimal_form) {
                    f.at(46);
                    append(seq.get(), decimal_from_form(st, val.get()).get());
                } else {
                    f.at(50);
                    append(seq.get(), val.get());
                }
                f.at(44);
            }
            if (PyErr_Occurred()) throw_error();
            f.at(51);
            dates = list_comprehension(
                dates.get(), [&](PyObject* d) { return call(g(S::conv_date).get(), {d}); });
            f.at(52);
            Ref df = call(
                attr(g(S::pd).get(), s(S::DataFrame)).get(),
                {new_dict({{s(S::timestamp), dates.get()}, {s(S::values), seq.get()}}).get()});
            f.at(53);
            Ref period = item(input.get(), s(S::period));
            f.at(54);
            Ref result = call(g(S::ts_forecast).get(), {df.get(), period.get()});
            f.at(55);
            if (truth(attr(result.get(), s(S::empty)).get())) {
                f.at(56);
                return new_dict({{s(S::error), s(S::empty_forecast)}});
            }
            f.at(58);
            return result;
        },
        59,
        [&](ExceptHandler& handler) {
            PyObject* e = handler.value();
            f.at(60);
            Ref ignored = call(attr(traceback.get(), s(S::print_exc)).get());
            f.at(61);
            return new_dict({{s(S::error), check(PyObject_Str(e)).get()}});
        });
}

// ---- the functions ---------------------------------------------------------------------------

// Defined after the records: the coroutine it makes takes its code and names from them.
Ref arun_body(Frame& f, PyObject* const* a);

constexpr FunctionRecord<S> functions[] = {
    {.qualname = "Auspex._run",
     .line = 32,
     .params = {S::self, S::input},
     .locals = {S::traceback, S::data, S::dates, S::sequence, S::seq, S::val, S::df, S::period,
                S::result, S::e, S::d},
     .checks = {ParamCheck::none, ParamCheck::exact_str},
     .annotations = {{S::input, S::text_str}, {S::return_, S::text_Dict}},
     .doc = "Time series forecasting.",
     .body = run_body},
    {.qualname = "Auspex._arun",
     .line = 63,
     .params = {S::self, S::data},
     .checks = {ParamCheck::none, ParamCheck::exact_str},
     .annotations = {{S::data, S::text_str}, {S::return_, S::text_str}},
     .flags = function_flag_coroutine,
     .body = arun_body},
    {.qualname = "conv_date",
     .line = 67,
     .params = {S::dt},
     .locals = {S::parsed_date, S::standardized_date},
     .body = conv_date_body},
    {.qualname = "ts_forecast",
     .line = 73,
     .params = {S::df, S::period},
     .locals = {S::dates, S::values, S::x, S::model, S::date_intervals, S::average_interval,
                S::last_date, S::forecast_dates, S::forecast_x, S::forecast, S::future_dates,
                S::forecast_df, S::date, S::x, S::i, S::i, S::date, S::x, S::date},
     .checks = {ParamCheck::none, ParamCheck::exact_int},
     .annotations = {{S::df, S::text_pd_DataFrame},
                     {S::period, S::text_int},
                     {S::return_, S::text_pd_DataFrame}},
     .doc = "\n    Perform time series forecasting on a DataFrame with two columns (date and "
            "values).\n"
            "\n    Args:\n        df (pd.DataFrame): The DataFrame containing time series data "
            "with two columns.\n        period (int): The number of periods into the future to "
            "forecast.\n\n    Returns:\n        pd.DataFrame: A DataFrame with date and "
            "forecasted values.\n\n    Example Usage:\n    df = pd.read_csv('sales_data.csv')  "
            "# Load your data\n    forecasted_data = ts_forecast(df, 30)\n    ",
     .body = ts_forecast_body},
};
using Functions = FunctionTable<descriptor, functions, g_state>;

// ---- Auspex._arun ---------------------------------------------------------------------------------

// The coroutine's body: it refuses on its first resumption, or raises what throw() brought.
PyObject* arun_coroutine_body(PyObject*, PyObject* sent) noexcept {
    const State& st = g_state;
    constexpr auto& arun = Functions::record<"Auspex._arun">();
    Frame f(st, plain_name(arun.qualname), arun.line);
    return boundary(f, [&]() -> Ref {
        if (!sent) throw_error();  // the thrown exception is pending
        f.at(64);
        Ref refusal = call(st.cached(B::NotImplementedError), {st.s(S::no_async)});
        raise_value(refusal.get());
    });
}

Ref arun_body(Frame&, PyObject* const* a) {
    const State& st = g_state;
    auto* closure = PyObject_GC_New(ArunClosure, st.closure_type);
    if (!closure) throw_error();
    closure->self = Py_NewRef(a[0]);
    closure->data = Py_NewRef(a[1]);
    PyObject_GC_Track(closure);
    Ref record = Ref::steal(reinterpret_cast<PyObject*>(closure));
    const FunctionObjects& arun = Functions::objects<"Auspex._arun">();
    return make_coroutine(st, arun_coroutine_body, record.get(), arun.code, arun.name,
                          arun.qualname, st.s(S::module_name));
}

// ---- module statements ----------------------------------------------------------------------------

// langchain 1.0 took BaseTool's old path langchain.tools.base away; langchain_core.tools, which
// that path re-exported, still defines it. The old path counts as gone only when the import failed
// for want of langchain.tools.base or langchain.tools itself, below a langchain that was imported:
// a missing langchain, or a module that either of them imports in turn, still fails the import.
// Precondition: an error is pending; it stays pending, unchanged.
bool tool_path_gone(const State& st) {
    if (!pending_module_not_found({st.s(S::langchain_tools_base), st.s(S::langchain_tools)})) {
        return false;
    }
    return peek_pending([&](PyObject*) {
        PyObject* langchain = PyDict_GetItemWithError(PyImport_GetModuleDict(), st.s(S::langchain));
        return langchain != nullptr && langchain != Py_None;
    });
}

// The `model_config` dict of a pydantic 2 model class, or an empty Ref for anything else
// (pydantic 1 models have none).
Ref pydantic_2_config(const State& st, PyObject* cls) {
    if (!PyType_Check(cls)) return Ref();
    PyObject* found = nullptr;
    check_status(get_optional_attr(cls, st.s(S::model_config), &found));
    Ref config = Ref::steal(found);
    if (!config || !PyDict_Check(config.get())) return Ref();
    return config;
}

// The tool's own model_config on a pydantic 2 base: pydantic 2 takes a class attribute with a
// leading underscore whose type it does not know for a private attribute, and so would take
// _run and _arun (objects of the frame's function type, not of types.FunctionType) out of the
// class, leaving the base's abstract methods to answer every call. pydantic merges this config
// with the base's on its own, except the ignored types, which replace the base's.
Ref tool_model_config(const State& st, PyObject* base_config) {
    PyObject* found = PyDict_GetItemWithError(base_config, st.s(S::ignored_types));
    if (!found && PyErr_Occurred()) throw_error();
    Ref base_ignored = Ref::borrow(found);
    Ref ignored = make_tuple({reinterpret_cast<PyObject*>(st.function_type)});
    if (base_ignored) {
        Ref listed = check(PySequence_Tuple(base_ignored.get()));
        ignored = check(PySequence_Concat(listed.get(), ignored.get()));
    }
    return new_dict({{st.s(S::ignored_types), ignored.get()}});
}

void run_statements(Frame& f) {
    const State& st = g_state;
    auto s = [&](S r) { return st.s(r); };
    auto g = [&](S r) { return global(st, r); };

    f.at(1);
    set_global(st, s(S::pd), import_module(st, s(S::pandas)).get());
    f.at(2);
    import_from(st, s(S::datetime), {s(S::datetime), s(S::timedelta)});
    f.at(3);
    import_from(st, s(S::dateutil), {s(S::parser)});
    f.at(4);
    import_from(st, s(S::sklearn_linear_model), {s(S::LinearRegression)});
    f.at(5);
    set_global(st, s(S::re), import_module(st, s(S::re)).get());
    f.at(6);
    import_from(st, s(S::pydantic), {s(S::BaseModel), s(S::Field)});
    f.at(7);
    import_from(st, s(S::typing), {s(S::Dict)});
    f.at(8);
    set_global(st, s(S::json), import_module(st, s(S::json)).get());
    f.at(9);
    try_except(
        f, [&] { import_from(st, s(S::langchain_tools_base), {s(S::BaseTool)}); }, 9,
        [&](ExceptHandler&) { import_from(st, s(S::langchain_core_tools), {s(S::BaseTool)}); },
        [&] { return tool_path_gone(st); });

    f.at(12);
    {
        Ref bases = make_tuple({g(S::BaseModel).get()});
        Ref annotations = new_dict(
            {{s(S::df), s(S::text_pd_DataFrame)}, {s(S::period), s(S::text_int)}});
        // pydantic 2 deprecates the inner Config with a warning at every import of this module,
        // yet keeps it as the class's own, where callers read it.
        std::optional<IgnoredWarnings> quiet;
        if (pydantic_2_config(st, g(S::BaseModel).get())) {
            Ref category = import_attribute(st, s(S::pydantic_warnings),
                                            s(S::PydanticDeprecatedSince20));
            quiet.emplace(st,
                          make_tuple({s(S::ignore), Py_None, category.get(), Py_None, st.int_0}));
        }
        Ref cls = build_class(
            st, s(S::ForecastInput), s(S::ForecastInput), bases.get(), s(S::module_name),
            s(S::schema_doc), annotations.get(), [&](PyObject* ns) {
                f.at(17);
                Ref config = build_class(
                    st, s(S::Config), s(S::ForecastInput_Config), st.empty_tuple, s(S::module_name),
                    nullptr, nullptr, [&](PyObject* config_ns) {
                        f.at(18);
                        namespace_set(config_ns, s(S::arbitrary_types_allowed), Py_True);
                    });
                f.at(17);
                namespace_set(ns, s(S::Config), config.get());
                f.at(20);
                namespace_set(
                    ns, s(S::df),
                    call_kw(g(S::Field).get(), {s(S::df_description)}, st.kw_description).get());
                f.at(21);
                namespace_set(
                    ns, s(S::period),
                    call_kw(g(S::Field).get(), {s(S::period_description)}, st.kw_description)
                        .get());
                f.at(12);
            });
        set_global(st, s(S::ForecastInput), cls.get());
    }

    f.at(24);
    {
        Ref bases = make_tuple({g(S::BaseTool).get()});
        // A pydantic 2 base (langchain-core 0.3 and later) refuses a field default without an
        // annotation, and needs the tool's model_config.
        Ref base_config = pydantic_2_config(st, PyTuple_GET_ITEM(bases.get(), 0));
        Ref annotations;
        if (base_config) {
            annotations = new_dict(
                {{s(S::name), s(S::text_str)}, {s(S::description), s(S::text_str)}});
        }
        Ref cls = build_class(st, s(S::Auspex), s(S::Auspex), bases.get(), s(S::module_name),
                              s(S::tool_doc), annotations.get(), [&](PyObject* ns) {
                                  if (base_config) {
                                      namespace_set(ns, s(S::model_config),
                                                    tool_model_config(st, base_config.get()).get());
                                  }
                                  f.at(27);
                                  namespace_set(ns, s(S::name), s(S::forecast_name));
                                  f.at(28);
                                  namespace_set(ns, s(S::description), s(S::tool_description));
                                  Functions::define<"Auspex._run">(f, ns);
                                  Functions::define<"Auspex._arun">(f, ns);
                                  f.at(24);
                              });
        set_global(st, s(S::Auspex), cls.get());
    }

    Functions::define<"conv_date">(f, st.dict);
    Functions::define<"ts_forecast">(f, st.dict);
    make_set_index_filter(g_state);
    capture_day_arithmetic(g_state);
}

}  // namespace

PyMODINIT_FUNC PyInit_auspex() { return module_definition<g_state>(); }
