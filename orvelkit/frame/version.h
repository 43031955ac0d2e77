// The run-time version check's pure helpers: reading the interpreter's version text and wording the
// mismatch warning. No interpreter needed, so they are unit-tested on their own.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace orvelkit::frame {

// Up to four dot-separated decimal fields, weighted 2^24, 2^16, 2^8 and 1, as in PY_VERSION_HEX.
// Reading stops at the first character after a field that is not a point, so
// "3.11.7 (main, ...)" gives 0x030B0700.
constexpr unsigned long parse_version_text(std::string_view text) noexcept {
    unsigned long version = 0;
    std::size_t pos = 0;
    for (int field = 0; field < 4; ++field) {
        unsigned long value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            value = value * 10 + static_cast<unsigned long>(text[pos] - '0');
            ++pos;
        }
        version |= (value & 0xFFu) << (24 - 8 * field);
        if (pos >= text.size() || text[pos] != '.') break;
        ++pos;
    }
    return version;
}

constexpr int version_major(unsigned long v) noexcept { return static_cast<int>((v >> 24) & 0xFF); }
constexpr int version_minor(unsigned long v) noexcept { return static_cast<int>((v >> 16) & 0xFF); }

// Empty when the running interpreter's major and minor versions are the built-for ones; otherwise
// the warning text, formatted into 200 bytes as the import warning has always been.
inline constexpr std::size_t warning_capacity = 200;
inline std::string version_mismatch_message(int built_major, int built_minor,
                                            std::string_view running_version_text,
                                            const char* full_module_name) {
    unsigned long running = parse_version_text(running_version_text);
    if (version_major(running) == built_major && version_minor(running) == built_minor) return {};
    char buffer[warning_capacity];
    std::snprintf(buffer, sizeof buffer,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  built_major, built_minor, full_module_name, "does not match",
                  version_major(running), version_minor(running));
    return buffer;
}

}  // namespace orvelkit::frame
