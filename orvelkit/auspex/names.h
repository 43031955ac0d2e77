// orvelkit.auspex's names: the strings its code reads by key ("timestamp"_n), each made once at
// initialisation, and what stands at each line of the module's source, for the statements and
// records that report those lines.
#pragma once

#include "frame/string_table.h"

namespace orvelkit::auspex {

using frame::ident;
using frame::Name;
using frame::text;

inline constexpr frame::NameRow names[] = {
    text("module_name", "orvelkit.auspex"),
    ident("pandas"),
    ident("pd"),
    ident("datetime"),
    ident("timedelta"),
    ident("dateutil"),
    ident("parser"),
    text("sklearn_linear_model", "sklearn.linear_model"),
    ident("LinearRegression"),
    ident("re"),
    ident("pydantic"),
    ident("BaseModel"),
    ident("Field"),
    ident("typing"),
    ident("Dict"),
    ident("json"),
    text("langchain_tools_base", "langchain.tools.base"),
    ident("BaseTool"),
    ident("langchain"),
    text("langchain_tools", "langchain.tools"),
    text("langchain_core_tools", "langchain_core.tools"),
    ident("decimal"),
    ident("Decimal"),
    ident("traceback"),
    ident("NotImplementedError"),
    ident("sum"),
    ident("range"),
    ident("ForecastInput"),
    ident("Config"),
    text("ForecastInput_Config", "ForecastInput.Config"),
    ident("arbitrary_types_allowed"),
    ident("model_config"),
    ident("ignored_types"),
    ident("description"),
    ident("name"),
    ident("Auspex"),
    ident("conv_date"),
    ident("ts_forecast"),
    ident("self"),
    ident("input"),
    ident("data"),
    ident("dt"),
    ident("parsed_date"),
    ident("standardized_date"),
    ident("df"),
    ident("period"),
    ident("dates"),
    ident("values"),
    ident("x"),
    ident("model"),
    ident("date_intervals"),
    ident("average_interval"),
    ident("last_date"),
    ident("forecast_dates"),
    ident("forecast_x"),
    ident("forecast"),
    ident("future_dates"),
    ident("forecast_df"),
    ident("date"),
    ident("i"),
    ident("sequence"),
    ident("seq"),
    ident("val"),
    ident("result"),
    ident("e"),
    ident("d"),
    ident("return"),
    ident("parse"),
    ident("strftime"),
    ident("to_datetime"),
    ident("set_index"),
    ident("inplace"),
    ident("Timestamp"),
    ident("days"),
    ident("fit"),
    ident("predict"),
    ident("max"),
    ident("DataFrame"),
    ident("loads"),
    ident("match"),
    ident("print_exc"),
    ident("empty"),
    ident("replace"),
    ident("error"),
    ident("warnings"),
    ident("filters"),
    ident("ignore"),
    ident("compile"),
    text("pydantic_warnings", "pydantic.warnings"),
    ident("PydanticDeprecatedSince20"),
    text("set_index_deprecation", "The inplace keyword in .+\\.set_index is deprecated"),
    text("ymd_format", "%Y-%m-%d"),
    ident("timestamp"),
    text("epoch_text", "1970-01-01"),
    ident("Forecasted_values"),
    ident("data_input"),
    text("decimal_pattern", "Decimal\\('[\\d.]+'\\)"),
    text("single_quote", "'"),
    text("double_quote", "\""),
    text("decimal_close", "')"),
    text("year_zeros", "000"),
    text("not_a_valid_decimal",
         " is not a valid decimal: nothing may follow the closing parenthesis of Decimal('...')"),
    text("empty_forecast", "Forecasting produced an empty DataFrame."),
    text("no_async", "Auspex does not support async"),
    text("forecast_name", "forecast"),
    text("tool_description", "\n    Use this tool for time series forecasting\n    "),
    text("tool_doc", "Tool for time series forecasting."),
    text("schema_doc", "\n    Inputs for the forecasting function.\n    "),
    text("df_description", "Input dataset as a DataFrame"),
    text("period_description", "The period to forecast"),
    text("text_pd_DataFrame", "pd.DataFrame"),
    text("text_int", "int"),
    text("text_str", "str"),
    text("text_Dict", "Dict"),
    ident("numpy"),
    ident("dtype"),
    text("datetime64_s", "datetime64[s]"),
    text("datetime64_ms", "datetime64[ms]"),
    text("datetime64_us", "datetime64[us]"),
    text("datetime64_ns", "datetime64[ns]"),
    ident("Series"),
    ident("Timedelta"),
    ident("RangeIndex"),
    ident("arrays"),
    ident("DatetimeArray"),
    ident("array"),
    ident("index"),
    ident("start"),
    ident("stop"),
    ident("step"),
    ident("view"),
    ident("int64"),
    ident("asm8"),
};

template <frame::FixedText Key>
consteval Name operator""_n() {
    return frame::find_name<names>(Key);
}

namespace line {
inline constexpr int import_pandas = 1;
inline constexpr int import_datetime = 2;
inline constexpr int import_parser = 3;
inline constexpr int import_linear_regression = 4;
inline constexpr int import_re = 5;
inline constexpr int import_pydantic = 6;
inline constexpr int import_typing = 7;
inline constexpr int import_json = 8;
inline constexpr int import_base_tool = 9;
inline constexpr int class_forecast_input = 12;
inline constexpr int class_config = 17;
inline constexpr int set_arbitrary_types_allowed = 18;
inline constexpr int field_df = 20;
inline constexpr int field_period = 21;
inline constexpr int class_auspex = 24;
inline constexpr int set_name = 27;
inline constexpr int set_description = 28;

namespace run {
inline constexpr int def = 32;
inline constexpr int import_traceback = 34;
inline constexpr int has_single_quote = 35;
inline constexpr int replace_quotes = 37;
inline constexpr int parse = 39;
inline constexpr int data = 40;
inline constexpr int dates = 41;
inline constexpr int sequence = 42;
inline constexpr int seq = 43;
inline constexpr int each_val = 44;
inline constexpr int is_decimal_form = 45;
inline constexpr int append_decimal = 46;
inline constexpr int append_val = 50;
inline constexpr int convert_dates = 51;
inline constexpr int make_frame = 52;
inline constexpr int period = 53;
inline constexpr int forecast = 54;
inline constexpr int is_empty = 55;
inline constexpr int return_empty_error = 56;
inline constexpr int return_result = 58;
inline constexpr int except_error = 59;
inline constexpr int print_exc = 60;
inline constexpr int return_error = 61;
}  // namespace run

namespace arun {
inline constexpr int def = 63;
inline constexpr int refuse = 64;
}  // namespace arun

namespace conv_date {
inline constexpr int def = 67;
inline constexpr int parse = 68;
inline constexpr int format = 69;
}  // namespace conv_date

namespace ts_forecast {
inline constexpr int def = 73;
inline constexpr int convert_dates = 89;
inline constexpr int dates = 90;
inline constexpr int values = 91;
inline constexpr int set_index = 92;
inline constexpr int day_numbers = 94;
inline constexpr int model = 97;
inline constexpr int fit = 98;
inline constexpr int intervals = 101;
inline constexpr int average_interval = 102;
inline constexpr int last_date = 103;
inline constexpr int future_dates = 104;
inline constexpr int future_day_numbers = 106;
inline constexpr int predict = 107;
inline constexpr int forecast_dates = 110;
inline constexpr int make_frame = 111;
inline constexpr int frame_columns = 112;
}  // namespace ts_forecast
}  // namespace line

}  // namespace orvelkit::auspex
