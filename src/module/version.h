// version.h: the check of the runtime's version against the headers the module was built with.
#pragma once

#include <cstddef>
#include <cstdio>

namespace loss {

/// Reads up to four dot-separated numbers of a version string, weighted
/// 2^24, 2^16, 2^8 and 1; reading stops after a number not followed by ".".
inline unsigned long pack_version(const char *text) noexcept {
    unsigned long packed = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned long number = 0;
        while (*text >= '0' && *text <= '9') number = number * 10 + static_cast<unsigned long>(*text++ - '0');
        packed += number << shift;
        if (*text != '.') break;
        ++text;
    }
    return packed;
}

/// Whether the major and minor versions of `runtime` (packed) are `major`.`minor`.
inline bool version_matches(unsigned long runtime, int major, int minor) noexcept {
    return ((runtime >> 16) & 0xFFFF) == ((static_cast<unsigned long>(major) << 8) | static_cast<unsigned long>(minor));
}

/// The warning text for a module built for `major`.`minor` loaded by `runtime`.
inline void format_version_warning(char (&buffer)[200], int major, int minor, unsigned long runtime) noexcept {
    std::snprintf(buffer, sizeof buffer,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", major, minor, "loss",
                  "does not match", static_cast<int>((runtime >> 24) & 0xFF), static_cast<int>((runtime >> 16) & 0xFF));
}

}  // namespace loss
