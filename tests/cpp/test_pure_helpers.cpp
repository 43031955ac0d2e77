// Checks of the frame's interpreter-free helpers: the version-text parser, the mismatch warning
// and the count-message chooser. Prints one line per failed check and exits non-zero if any failed.
#include "frame/binding_message.h"
#include "frame/version.h"

#include <cstdio>
#include <string>
#include <string_view>

using namespace orvelkit::frame;

namespace {

int failures = 0;

void expect(bool ok, const char* what, int line) {
    if (ok) return;
    ++failures;
    std::printf("FAIL line %d: %s\n", line, what);
}

#define EXPECT(cond) expect((cond), #cond, __LINE__)

void expect_text(const std::string& got, std::string_view want, int line) {
    if (got == want) return;
    ++failures;
    std::printf("FAIL line %d:\n  got:  \"%s\"\n  want: \"%.*s\"\n", line, got.c_str(),
                static_cast<int>(want.size()), want.data());
}

bool form_is(const CountForm& f, std::string_view qualifier, std::ptrdiff_t expected,
             std::string_view plural) {
    return qualifier == f.qualifier && expected == f.expected && plural == f.plural;
}

void version_parsing() {
    // The text Py_GetVersion() hands out: reading ends at the space before the build info.
    EXPECT(parse_version_text("3.11.7 (main, May  9 2026, 07:35:25) [GCC 12.2.0]") == 0x030B0700);
    EXPECT(parse_version_text("3.7.1 (default, Oct 22 2018)") == 0x03070100);
    // A release-level suffix is not a point, so it ends the reading.
    EXPECT(parse_version_text("3.12.0rc1+ (heads/3.12)") == 0x030C0000);
    EXPECT(parse_version_text("3.11rc2") == 0x030B0000);
    // At most four fields count.
    EXPECT(parse_version_text("3.11.7.2.9") == 0x030B0702);
    EXPECT(parse_version_text("3") == 0x03000000);
    EXPECT(parse_version_text("") == 0);
    EXPECT(parse_version_text("10.0.1") == 0x0A000100);
    EXPECT(version_major(parse_version_text("3.9.18 (main)")) == 3);
    EXPECT(version_minor(parse_version_text("3.9.18 (main)")) == 9);
    // Also usable in constant expressions.
    static_assert(parse_version_text("3.6.15") == 0x03060F00);
}

void mismatch_message() {
    expect_text(version_mismatch_message(3, 11, "3.7.1 (default, Oct 22 2018)", "orvelkit.base"),
                "compile time Python version 3.11 of module 'orvelkit.base' does not match "
                "runtime version 3.7",
                __LINE__);
    expect_text(version_mismatch_message(3, 6, "3.11.7 (main, May  9 2026)", "orvelkit.auspex"),
                "compile time Python version 3.6 of module 'orvelkit.auspex' does not match "
                "runtime version 3.11",
                __LINE__);
    // Only major and minor matter: another micro release is the same interpreter line.
    EXPECT(
        version_mismatch_message(3, 11, "3.11.7 (main, May  9 2026)", "orvelkit.auspex").empty());
    EXPECT(version_mismatch_message(3, 11, "3.11.0a1", "orvelkit.tabloom").empty());
    EXPECT(!version_mismatch_message(3, 11, "4.11.0", "orvelkit.base").empty());
    EXPECT(!version_mismatch_message(3, 11, "3.12.1", "orvelkit.base").empty());
    // The module name is cut at 100 characters.
    std::string long_name(150, 'm');
    std::string message = version_mismatch_message(3, 11, "3.7.1", long_name.c_str());
    EXPECT(message.find(std::string(100, 'm') + "'") != std::string::npos);
    EXPECT(message.find(std::string(101, 'm')) == std::string::npos);
}

void count_forms() {
    // All parameters required: always "exactly" the total, whatever was given.
    EXPECT(form_is(count_form(2, 2, 1), "exactly", 2, "s"));
    EXPECT(form_is(count_form(2, 2, 3), "exactly", 2, "s"));
    EXPECT(form_is(count_form(2, 2, 0), "exactly", 2, "s"));
    EXPECT(form_is(count_form(1, 1, 0), "exactly", 1, ""));
    EXPECT(form_is(count_form(1, 1, 2), "exactly", 1, ""));
    // Some optional: too few names the required count, too many the total.
    EXPECT(form_is(count_form(5, 7, 1), "at least", 5, "s"));
    EXPECT(form_is(count_form(5, 7, 8), "at most", 7, "s"));
    EXPECT(form_is(count_form(1, 3, 0), "at least", 1, ""));
    EXPECT(form_is(count_form(0, 1, 2), "at most", 1, ""));
    EXPECT(form_is(count_form(0, 2, 3), "at most", 2, "s"));
}

}  // namespace

int main() {
    version_parsing();
    mismatch_message();
    count_forms();
    if (failures == 0) std::printf("all checks passed\n");
    return failures == 0 ? 0 : 1;
}
