// The count message's pure part: which of its forms a binding failure takes. No interpreter needed.
#pragma once

#include <cstddef>

namespace orvelkit::frame {

// The fixed wording of binding failures.
inline constexpr const char* keywords_must_be_strings = "%.200s() keywords must be strings";
inline constexpr const char* multiple_values = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* incorrect_type =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";

struct CountForm {
    const char* qualifier;  // "exactly", "at least" or "at most"
    std::ptrdiff_t expected;
    const char* plural;  // "s", or "" when exactly one is expected
};

// `required` of `total` parameters are required; `given` is the number the failure reports.
constexpr CountForm count_form(std::ptrdiff_t required, std::ptrdiff_t total,
                               std::ptrdiff_t given) noexcept {
    CountForm form{"exactly", total, ""};
    if (required != total) {
        if (given < required) {
            form.qualifier = "at least";
            form.expected = required;
        } else {
            form.qualifier = "at most";
        }
    }
    form.plural = form.expected == 1 ? "" : "s";
    return form;
}

}  // namespace orvelkit::frame
