// orvelkit.auspex's names: what stands at each line of the module's source, and the strings its
// code reads by key ("timestamp"_n), each made once at initialisation. A new function's lines go at
// the end of `line`, and the names it adds right below them, at the top of `names`.
#pragma once

#include "frame/string_table.h"

namespace orvelkit::auspex {

using namespace orvelkit::frame;

// The lines the module's statements, bodies and records report.
namespace line {
inline constexpr int import_pandas = 1, import_datetime = 2, import_parser = 3,
                     import_linear_regression = 4, import_re = 5, import_pydantic = 6,
                     import_typing = 7, import_json = 8, import_base_tool = 9,
                     class_forecast_input = 12, class_config = 17, set_arbitrary_types_allowed = 18,
                     field_df = 20, field_period = 21, class_auspex = 24, set_name = 27,
                     set_description = 28;
namespace run {
inline constexpr int def = 32, import_traceback = 34, has_single_quote = 35, replace_quotes = 37,
                     parse = 39, data = 40, dates = 41, sequence = 42, seq = 43, each_val = 44,
                     is_decimal_form = 45, append_decimal = 46, append_val = 50, convert_dates = 51,
                     make_frame = 52, period = 53, forecast = 54, is_empty = 55,
                     return_empty_error = 56, return_result = 58, except_error = 59, print_exc = 60,
                     return_error = 61;
}  // namespace run
namespace arun {
inline constexpr int def = 63, refuse = 64;
}  // namespace arun
namespace conv_date {
inline constexpr int def = 67, parse = 68, format = 69;
}  // namespace conv_date
namespace ts_forecast {
inline constexpr int def = 73, convert_dates = 89, dates = 90, values = 91, set_index = 92,
                     day_numbers = 94, model = 97, fit = 98, intervals = 101,
                     average_interval = 102, last_date = 103, future_dates = 104,
                     future_day_numbers = 106, predict = 107, forecast_dates = 110,
                     make_frame = 111, frame_columns = 112;
}  // namespace ts_forecast
}  // namespace line

// A table read by key, not line by line: packed, and kept out of the formatter's
// one-row-a-line layout.
// clang-format off
inline constexpr NameRow names[] = {
    text("module_name", "orvelkit.auspex"), ident("pandas"), ident("pd"), ident("datetime"),
    ident("timedelta"), ident("dateutil"), ident("parser"),
    text("sklearn_linear_model", "sklearn.linear_model"), ident("LinearRegression"), ident("re"),
    ident("pydantic"), ident("BaseModel"), ident("Field"), ident("typing"), ident("Dict"),
    ident("json"), text("langchain_tools_base", "langchain.tools.base"), ident("BaseTool"),
    ident("langchain"), text("langchain_tools", "langchain.tools"),
    text("langchain_core_tools", "langchain_core.tools"), ident("decimal"), ident("Decimal"),
    ident("traceback"), ident("NotImplementedError"), ident("sum"), ident("range"),
    ident("ForecastInput"), ident("Config"), text("ForecastInput_Config", "ForecastInput.Config"),
    ident("arbitrary_types_allowed"), ident("model_config"), ident("ignored_types"),
    ident("description"), ident("name"), ident("Auspex"), ident("conv_date"), ident("ts_forecast"),
    ident("self"), ident("input"), ident("data"), ident("dt"), ident("parsed_date"),
    ident("standardized_date"), ident("df"), ident("period"), ident("dates"), ident("values"),
    ident("x"), ident("model"), ident("date_intervals"), ident("average_interval"),
    ident("last_date"), ident("forecast_dates"), ident("forecast_x"), ident("forecast"),
    ident("future_dates"), ident("forecast_df"), ident("date"), ident("i"), ident("sequence"),
    ident("seq"), ident("val"), ident("result"), ident("e"), ident("d"), ident("return"),
    ident("parse"), ident("strftime"), ident("to_datetime"), ident("set_index"), ident("inplace"),
    ident("Timestamp"), ident("days"), ident("fit"), ident("predict"), ident("max"),
    ident("DataFrame"), ident("loads"), ident("match"), ident("print_exc"), ident("empty"),
    ident("replace"), ident("error"), ident("warnings"), ident("filters"), ident("ignore"),
    ident("compile"), text("pydantic_warnings", "pydantic.warnings"),
    ident("PydanticDeprecatedSince20"),
    text("set_index_deprecation", "The inplace keyword in .+\\.set_index is deprecated"),
    text("ymd_format", "%Y-%m-%d"), ident("timestamp"), text("epoch_text", "1970-01-01"),
    ident("Forecasted_values"), ident("data_input"),
    text("decimal_pattern", "Decimal\\('[\\d.]+'\\)"), text("single_quote", "'"),
    text("double_quote", "\""), text("decimal_close", "')"), text("year_zeros", "000"),
    text("not_a_valid_decimal",
         " is not a valid decimal: nothing may follow the closing parenthesis of Decimal('...')"),
    text("empty_forecast", "Forecasting produced an empty DataFrame."),
    text("no_async", "Auspex does not support async"), text("forecast_name", "forecast"),
    text("tool_description", "\n    Use this tool for time series forecasting\n    "),
    text("tool_doc", "Tool for time series forecasting."),
    text("schema_doc", "\n    Inputs for the forecasting function.\n    "),
    text("df_description", "Input dataset as a DataFrame"),
    text("period_description", "The period to forecast"), text("text_pd_DataFrame", "pd.DataFrame"),
    text("text_int", "int"), text("text_str", "str"), text("text_Dict", "Dict"), ident("numpy"),
    ident("dtype"), text("datetime64_s", "datetime64[s]"), text("datetime64_ms", "datetime64[ms]"),
    text("datetime64_us", "datetime64[us]"), text("datetime64_ns", "datetime64[ns]"),
    ident("Series"), ident("Timedelta"), ident("RangeIndex"), ident("arrays"),
    ident("DatetimeArray"), ident("array"), ident("index"), ident("start"), ident("stop"),
    ident("step"), ident("view"), ident("int64"), ident("asm8"),
};
// clang-format on

template <FixedText Key>
consteval Name operator""_n() {
    return find_name<names>(Key);
}

}  // namespace orvelkit::auspex
