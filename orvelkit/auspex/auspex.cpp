// orvelkit.auspex: the forecasting tool. A straight-line forecast over a DataFrame of dated values,
// date normalisation, the pydantic input schema and the LangChain tool with its async refusal.
// Each function's body stands beside its record, and the module's statements close the file.
// Includes only the frame, this module's own headers and the standard library.
#include "auspex/arun_closure.h"
#include "auspex/day_arithmetic.h"
#include "auspex/quiet_warnings.h"
#include "auspex/state.h"
#include "frame/coroutine.h"
#include "frame/names.h"

#include <cstddef>
#include <optional>
#include <utility>

namespace orvelkit::auspex {

// All but the entry is this file's own: with the state and the bodies out of every other file's
// reach, the compiler keeps the call path as short as it can.
namespace {

void make_numbers(ModuleState& base) {
    State& st = state_of(base);
    keep(st.int_0, check(PyLong_FromLong(0)));
    keep(st.int_1, check(PyLong_FromLong(1)));
    keep(st.int_1970, check(PyLong_FromLong(1970)));
}

void make_tuples(ModuleState& base) {
    State& st = state_of(base);
    keep(st.kw_description, make_tuple({st.s("description"_n)}));
    keep(st.kw_inplace, make_tuple({st.s("inplace"_n)}));
    keep(st.kw_days, make_tuple({st.s("days"_n)}));
}

void run_statements(Cursor& f);

constexpr ModuleDescriptor descriptor{
    .names = module_names<"auspex">,
    .strings = rows_of<names>,
    .cached_builtins = cached_builtin_rows,
    .registers_coroutine = true,
    .hooks = {.make_numbers = make_numbers,
              .make_tuples = make_tuples,
              .ready_types = ready_types,
              .run_statements = run_statements},
};

State g_state{descriptor};

using Functions = Definitions<descriptor, g_state>;

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
    Ref zeros = check(PyUnicode_Substring(st.s("year_zeros"_n), 0, year_width - digits));
    return concat({zeros, text});
}

Ref conv_date_body(Cursor& f, Args<"dt"_n> a) {
    const State& st = g_state;
    PyObject* dt = a.get<"dt"_n>();
    f.at(line::conv_date::parse);
    Ref parsed_date = call_method(global(st, "parser"_n), st.s("parse"_n), {dt});
    f.at(line::conv_date::format);
    Ref standardized_date = call_method(parsed_date, st.s("strftime"_n), {st.s("ymd_format"_n)});
    return pad_short_year(st, std::move(standardized_date));
}

constexpr FunctionRecord conv_date{
    .qualname = "conv_date",
    .line = line::conv_date::def,
    .locals = {"parsed_date"_n, "standardized_date"_n},
    .body = body_of<conv_date_body>,
};

// ---- ts_forecast --------------------------------------------------------------------------------

// Automatic collection held off for a stretch of allocations that runs no Python code. Each
// one-element row below is a new tracked container, so at 10^5 rows the collector would walk the
// young rows every 700 allocations and the whole heap several times; after the pause it runs
// once, on its usual thresholds, with nothing else changed.
class CollectionPause : Pinned {
public:
    CollectionPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
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
    return attr(difference, st.s("days"_n));
}

// ---- the loop of future dates -------------------------------------------------------------------

// last_date + timedelta(days=i * average_interval): one future date, as the loop makes it.
Ref future_date(const State& st, PyObject* timedelta, PyObject* last_date,
                PyObject* average_interval, PyObject* i) {
    Ref span_days = check(PyNumber_Multiply(i, average_interval));
    Ref span = call_kw(timedelta, {span_days}, st.kw_days);
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
    PyObject* timedelta = PyDict_GetItemWithError(st.dict, st.s("timedelta"_n));
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

Ref ts_forecast_body(Cursor& f, Args<"df"_n, "period"_n> a) {
    const State& st = g_state;
    PyObject* df = a.get<"df"_n>();
    PyObject* period = a.get<"period"_n>();
    auto s = [&](Name r) { return st.s(r); };
    auto g = [&](Name r) { return global(st, r); };

    f.at(line::ts_forecast::convert_dates);
    {
        Ref to_datetime = attr(g("pd"_n), s("to_datetime"_n));
        Ref column = item(df, s("timestamp"_n));
        set_item(df, s("timestamp"_n), call(to_datetime, {column}));
    }
    f.at(line::ts_forecast::dates);
    Ref dates = item(df, s("timestamp"_n));
    f.at(line::ts_forecast::values);
    Ref values = item(df, s("values"_n));
    f.at(line::ts_forecast::set_index);
    {
        Ref set_index = attr(df, s("set_index"_n));
        // pandas 3.1 deprecates `inplace` with a warning at every call, yet the caller's table is
        // to be re-indexed itself. The warning is about this call, not about the caller's data.
        IgnoredWarnings quiet(st, Ref::borrow(st.set_index_filter));
        Ref ignored = call_kw(set_index, {s("timestamp"_n), Py_True}, st.kw_inplace);
    }
    f.at(line::ts_forecast::day_numbers);
    Ref x = [&] {
        DatetimeCounts counts;
        if (counts.acquire(st, dates.get())) return day_numbers(counts);
        return Ref();
    }();
    if (!x) {
        x = list_comprehension(dates, [&](PyObject* date) {
            Ref timestamp = attr(g("pd"_n), s("Timestamp"_n));
            Ref epoch = call(timestamp, {s("epoch_text"_n)});
            return days_between(st, date, epoch.get());
        });
    }
    f.at(line::ts_forecast::model);
    Ref model = call(g("LinearRegression"_n));
    f.at(line::ts_forecast::fit);
    Ref ignored_fit = call_method(model, s("fit"_n), {column_matrix(x.get()), values});
    // Checked again: fit may have run code that changed the Series or patched a type.
    f.at(line::ts_forecast::intervals);
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
            Ref later = item(dates, next_index);
            Ref earlier = item(dates, index);
            append(date_intervals, days_between(st, later.get(), earlier.get()));
        }
    }
    f.at(line::ts_forecast::average_interval);
    Ref average_interval = [&] {
        Ref total = call(st.cached(B::sum), {date_intervals});
        Ref count = check(PyLong_FromSsize_t(PyList_GET_SIZE(date_intervals.get())));
        return check(PyNumber_TrueDivide(total.get(), count.get()));
    }();
    f.at(line::ts_forecast::last_date);
    Ref last_date = call_method(dates, s("max"_n));
    f.at(line::ts_forecast::future_dates);
    fail_at_first_unrepresentable_date(st, last_date.get(), average_interval.get(), period);
    Ref future_dates = [&] {
        Ref stop = check(PyNumber_Add(period, st.int_1));
        Ref steps = call(st.cached(B::range), {st.int_1, stop});
        return list_comprehension(steps, [&](PyObject* i) {
            Ref span_days = check(PyNumber_Multiply(i, average_interval.get()));
            Ref span = call_kw(g("timedelta"_n), {span_days}, st.kw_days);
            return check(PyNumber_Add(last_date.get(), span.get()));
        });
    }();
    f.at(line::ts_forecast::future_day_numbers);
    Ref forecast_x = list_comprehension(future_dates, [&](PyObject* date) {
        Ref epoch = call(g("datetime"_n), {st.int_1970, st.int_1, st.int_1});
        return days_between(st, date, epoch.get());
    });
    f.at(line::ts_forecast::predict);
    Ref forecast = call_method(model, s("predict"_n), {column_matrix(forecast_x.get())});
    f.at(line::ts_forecast::forecast_dates);
    Ref forecast_dates = list_comprehension(future_dates, [&](PyObject* date) {
        return call_method(date, s("strftime"_n), {s("ymd_format"_n)});
    });
    f.at(line::ts_forecast::make_frame);
    Ref frame_type = attr(g("pd"_n), s("DataFrame"_n));
    f.at(line::ts_forecast::frame_columns);
    Ref columns = new_dict({{s("dates"_n), forecast_dates}, {s("Forecasted_values"_n), forecast}});
    f.at(line::ts_forecast::make_frame);
    Ref forecast_df = call(frame_type, {columns});
    return forecast_df;
}

constexpr FunctionRecord ts_forecast{
    .qualname = "ts_forecast",
    .line = line::ts_forecast::def,
    .locals = {"dates"_n, "values"_n, "x"_n, "model"_n, "date_intervals"_n, "average_interval"_n,
               "last_date"_n, "forecast_dates"_n, "forecast_x"_n, "forecast"_n, "future_dates"_n,
               "forecast_df"_n, "date"_n, "x"_n, "i"_n, "i"_n, "date"_n, "x"_n, "date"_n},
    .checks = {ParamCheck::none, ParamCheck::exact_int},
    .annotations = {{"df"_n, "text_pd_DataFrame"_n},
                    {"period"_n, "text_int"_n},
                    {"return"_n, "text_pd_DataFrame"_n}},
    .doc =
        "\n    Perform time series forecasting on a DataFrame with two columns (date and "
        "values).\n"
        "\n    Args:\n        df (pd.DataFrame): The DataFrame containing time series data "
        "with two columns.\n        period (int): The number of periods into the future to "
        "forecast.\n\n    Returns:\n        pd.DataFrame: A DataFrame with date and "
        "forecasted values.\n\n    Example Usage:\n    df = pd.read_csv('sales_data.csv')  "
        "# Load your data\n    forecasted_data = ts_forecast(df, 30)\n    ",
    .body = body_of<ts_forecast_body>,
};

// ---- Auspex._run ---------------------------------------------------------------------------------

// The decimal number of a value written Decimal('digits'). The pattern has matched its start; a
// value with anything after the closing parenthesis is refused, never converted from its leading
// part.
Ref decimal_from_form(const State& st, PyObject* val) {
    constexpr auto digits_start = static_cast<Py_ssize_t>(std::string_view("Decimal('").size());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(val);
    const Py_ssize_t close = PyUnicode_Find(val, st.s("decimal_close"_n), digits_start, length, 1);
    if (close == -2) throw_error();
    if (close < 0 || close + PyUnicode_GET_LENGTH(st.s("decimal_close"_n)) != length) {
        Ref shown = check(PyObject_Repr(val));
        raise_object(PyExc_ValueError, concat({shown, st.s("not_a_valid_decimal"_n)}).get());
    }
    Ref digits = check(PyUnicode_Substring(val, digits_start, close));
    Ref decimal_module = import_module(st, st.s("decimal"_n));
    Ref decimal_type = attr(decimal_module, st.s("Decimal"_n));
    return call(decimal_type, {digits});
}

Ref run_body(Cursor& f, Args<"self"_n, "input"_n> a) {
    const State& st = g_state;
    Ref input = Ref::borrow(a.get<"input"_n>());
    auto s = [&](Name r) { return st.s(r); };
    auto g = [&](Name r) { return global(st, r); };

    f.at(line::run::import_traceback);
    Ref traceback = import_module(st, s("traceback"_n));
    f.at(line::run::has_single_quote);
    if (check_status(PyUnicode_Contains(input.get(), s("single_quote"_n)))) {
        f.at(line::run::replace_quotes);
        input = call_method(input, s("replace"_n), {s("single_quote"_n), s("double_quote"_n)});
    }
    return try_except(
        f,
        [&] {
            f.at(line::run::parse);
            input = call(attr(g("json"_n), s("loads"_n)), {input});
            f.at(line::run::data);
            Ref data = item(input, s("data_input"_n));
            f.at(line::run::dates);
            Ref dates = item(data, s("date"_n));
            f.at(line::run::sequence);
            Ref sequence = item(data, s("values"_n));
            f.at(line::run::seq);
            Ref seq = new_list();
            f.at(line::run::each_val);
            Ref it = check(PyObject_GetIter(sequence.get()));
            while (Ref val = Ref::steal(PyIter_Next(it.get()))) {
                f.at(line::run::is_decimal_form);
                bool decimal_form = false;
                if (Py_TYPE(val.get()) == &PyUnicode_Type) {
                    Ref found = call(attr(g("re"_n), s("match"_n)), {s("decimal_pattern"_n), val});
                    decimal_form = truth(found);
                }
                if (decimal_form) {
                    f.at(line::run::append_decimal);
                    append(seq, decimal_from_form(st, val.get()));
                } else {
                    f.at(line::run::append_val);
                    append(seq, val);
                }
                f.at(line::run::each_val);
            }
            if (PyErr_Occurred()) throw_error();
            f.at(line::run::convert_dates);
            dates = list_comprehension(dates,
                                       [&](PyObject* d) { return call(g("conv_date"_n), {d}); });
            f.at(line::run::make_frame);
            Ref df = call(attr(g("pd"_n), s("DataFrame"_n)),
                          {new_dict({{s("timestamp"_n), dates}, {s("values"_n), seq}})});
            f.at(line::run::period);
            Ref period = item(input, s("period"_n));
            f.at(line::run::forecast);
            Ref result = call(g("ts_forecast"_n), {df, period});
            f.at(line::run::is_empty);
            if (truth(attr(result, s("empty"_n)))) {
                f.at(line::run::return_empty_error);
                return new_dict({{s("error"_n), s("empty_forecast"_n)}});
            }
            f.at(line::run::return_result);
            return result;
        },
        line::run::except_error,
        [&](ExceptHandler& handler) {
            PyObject* e = handler.value();
            f.at(line::run::print_exc);
            Ref ignored = call(attr(traceback, s("print_exc"_n)));
            f.at(line::run::return_error);
            return new_dict({{s("error"_n), check(PyObject_Str(e))}});
        });
}

constexpr FunctionRecord tool_run{
    .qualname = "Auspex._run",
    .line = line::run::def,
    .locals = {"traceback"_n, "data"_n, "dates"_n, "sequence"_n, "seq"_n, "val"_n, "df"_n,
               "period"_n, "result"_n, "e"_n, "d"_n},
    .checks = {ParamCheck::none, ParamCheck::exact_str},
    .annotations = {{"input"_n, "text_str"_n}, {"return"_n, "text_Dict"_n}},
    .doc = "Time series forecasting.",
    .body = body_of<run_body>,
};

// ---- Auspex._arun ---------------------------------------------------------------------------------

// Defined after its record: the coroutine it makes takes its code and names from the definition.
// So the record is read by more than its `def`, and leaving the `def` out still compiles; the
// tool's tests, which call _arun, are what notice.
using ArunArgs = Args<"self"_n, "data"_n>;
Ref arun_body(Cursor& f, ArunArgs a);

constexpr FunctionRecord tool_arun{
    .qualname = "Auspex._arun",
    .line = line::arun::def,
    .checks = {ParamCheck::none, ParamCheck::exact_str},
    .annotations = {{"data"_n, "text_str"_n}, {"return"_n, "text_str"_n}},
    .flags = function_flag_coroutine,
    .body = body_of<arun_body>,
};

// The coroutine's body: it refuses on its first resumption, or raises what throw() brought.
PyObject* arun_coroutine_body(PyObject*, PyObject* sent) noexcept {
    const State& st = g_state;
    Cursor f(st, plain_name(tool_arun.qualname), tool_arun.line);
    return boundary(f, [&]() -> Ref {
        if (!sent) throw_error();  // the thrown exception is pending
        f.at(line::arun::refuse);
        Ref refusal = call(st.cached(B::NotImplementedError), {st.s("no_async"_n)});
        raise_value(refusal);
    });
}

Ref arun_body(Cursor&, ArunArgs a) {
    const State& st = g_state;
    auto* closure = PyObject_GC_New(ArunClosure, st.closure_type);
    if (!closure) throw_error();
    closure->self = Py_NewRef(a.get<"self"_n>());
    closure->data = Py_NewRef(a.get<"data"_n>());
    PyObject_GC_Track(closure);
    Ref record = Ref::steal(reinterpret_cast<PyObject*>(closure));
    const FunctionObjects& arun = Functions::objects<tool_arun>();
    return make_coroutine(st, arun_coroutine_body, record.get(), arun.code, arun.name,
                          arun.qualname, st.s("module_name"_n));
}

// ---- module statements ----------------------------------------------------------------------------

// langchain 1.0 took BaseTool's old path langchain.tools.base away; langchain_core.tools, which
// that path re-exported, still defines it. The old path counts as gone only when the import failed
// for want of langchain.tools.base or langchain.tools itself, below a langchain that was imported:
// a missing langchain, or a module that either of them imports in turn, still fails the import.
// Precondition: an error is pending; it stays pending, unchanged.
bool tool_path_gone(const State& st) {
    if (!pending_module_not_found({st.s("langchain_tools_base"_n), st.s("langchain_tools"_n)})) {
        return false;
    }
    return peek_pending([&](PyObject*) {
        PyObject* langchain = PyDict_GetItemWithError(PyImport_GetModuleDict(),
                                                      st.s("langchain"_n));
        return langchain != nullptr && langchain != Py_None;
    });
}

// The `model_config` dict of a pydantic 2 model class, or an empty Ref for anything else
// (pydantic 1 models have none).
Ref pydantic_2_config(const State& st, PyObject* cls) {
    if (!PyType_Check(cls)) return Ref();
    PyObject* found = nullptr;
    check_status(get_optional_attr(cls, st.s("model_config"_n), &found));
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
    PyObject* found = PyDict_GetItemWithError(base_config, st.s("ignored_types"_n));
    if (!found && PyErr_Occurred()) throw_error();
    Ref base_ignored = Ref::borrow(found);
    Ref ignored = make_tuple({reinterpret_cast<PyObject*>(st.function_type)});
    if (base_ignored) {
        Ref listed = check(PySequence_Tuple(base_ignored.get()));
        ignored = check(PySequence_Concat(listed.get(), ignored.get()));
    }
    return new_dict({{st.s("ignored_types"_n), ignored}});
}

void run_statements(Cursor& f) {
    const State& st = g_state;
    auto s = [&](Name r) { return st.s(r); };
    auto g = [&](Name r) { return global(st, r); };

    f.at(line::import_pandas);
    set_global(st, s("pd"_n), import_module(st, s("pandas"_n)));
    f.at(line::import_datetime);
    import_from(st, s("datetime"_n), {s("datetime"_n), s("timedelta"_n)});
    f.at(line::import_parser);
    import_from(st, s("dateutil"_n), {s("parser"_n)});
    f.at(line::import_linear_regression);
    import_from(st, s("sklearn_linear_model"_n), {s("LinearRegression"_n)});
    f.at(line::import_re);
    set_global(st, s("re"_n), import_module(st, s("re"_n)));
    f.at(line::import_pydantic);
    import_from(st, s("pydantic"_n), {s("BaseModel"_n), s("Field"_n)});
    f.at(line::import_typing);
    import_from(st, s("typing"_n), {s("Dict"_n)});
    f.at(line::import_json);
    set_global(st, s("json"_n), import_module(st, s("json"_n)));
    f.at(line::import_base_tool);
    try_except(
        f, [&] { import_from(st, s("langchain_tools_base"_n), {s("BaseTool"_n)}); },
        line::import_base_tool,
        [&](ExceptHandler&) { import_from(st, s("langchain_core_tools"_n), {s("BaseTool"_n)}); },
        [&] { return tool_path_gone(st); });

    f.at(line::class_forecast_input);
    {
        Ref bases = make_tuple({g("BaseModel"_n)});
        Ref annotations = new_dict(
            {{s("df"_n), s("text_pd_DataFrame"_n)}, {s("period"_n), s("text_int"_n)}});
        // pydantic 2 deprecates the inner Config with a warning at every import of this module,
        // yet keeps it as the class's own, where callers read it.
        std::optional<IgnoredWarnings> quiet;
        if (pydantic_2_config(st, g("BaseModel"_n).get())) {
            Ref category = import_attribute(st, s("pydantic_warnings"_n),
                                            s("PydanticDeprecatedSince20"_n));
            quiet.emplace(st, make_tuple({s("ignore"_n), Py_None, category, Py_None, st.int_0}));
        }
        Ref cls = build_class(
            st, s("ForecastInput"_n), s("ForecastInput"_n), bases, s("module_name"_n),
            s("schema_doc"_n), annotations, [&](PyObject* ns) {
                f.at(line::class_config);
                Ref config = build_class(
                    st, s("Config"_n), s("ForecastInput_Config"_n), st.empty_tuple,
                    s("module_name"_n), nullptr, nullptr, [&](PyObject* config_ns) {
                        f.at(line::set_arbitrary_types_allowed);
                        namespace_set(config_ns, s("arbitrary_types_allowed"_n), Py_True);
                    });
                f.at(line::class_config);
                namespace_set(ns, s("Config"_n), config);
                f.at(line::field_df);
                namespace_set(ns, s("df"_n),
                              call_kw(g("Field"_n), {s("df_description"_n)}, st.kw_description));
                f.at(line::field_period);
                namespace_set(
                    ns, s("period"_n),
                    call_kw(g("Field"_n), {s("period_description"_n)}, st.kw_description));
                f.at(line::class_forecast_input);
            });
        set_global(st, s("ForecastInput"_n), cls);
    }

    f.at(line::class_auspex);
    {
        Ref bases = make_tuple({g("BaseTool"_n)});
        // A pydantic 2 base (langchain-core 0.3 and later) refuses a field default without an
        // annotation, and needs the tool's model_config.
        Ref base_config = pydantic_2_config(st, PyTuple_GET_ITEM(bases.get(), 0));
        Ref annotations;
        if (base_config) {
            annotations = new_dict(
                {{s("name"_n), s("text_str"_n)}, {s("description"_n), s("text_str"_n)}});
        }
        Ref cls = build_class(st, s("Auspex"_n), s("Auspex"_n), bases, s("module_name"_n),
                              s("tool_doc"_n), annotations, [&](PyObject* ns) {
                                  if (base_config) {
                                      namespace_set(ns, s("model_config"_n),
                                                    tool_model_config(st, base_config.get()));
                                  }
                                  f.at(line::set_name);
                                  namespace_set(ns, s("name"_n), s("forecast_name"_n));
                                  f.at(line::set_description);
                                  namespace_set(ns, s("description"_n), s("tool_description"_n));
                                  Functions::define<tool_run, tool_arun>(f, ns);
                                  f.at(line::class_auspex);
                              });
        set_global(st, s("Auspex"_n), cls);
    }

    Functions::define<conv_date>(f, st.dict);
    Functions::define<ts_forecast>(f, st.dict);
    make_set_index_filter(g_state);
    capture_day_arithmetic(g_state);
}

}  // namespace

// The module's entry: C linkage, and the only symbol the library exports.
PyMODINIT_FUNC PyInit_auspex() { return module_definition<g_state>(); }

}  // namespace orvelkit::auspex
