// Checks of the runtime-version parsing and comparison, without an interpreter.
#include "module/version.h"

#include <cstdio>
#include <cstring>

namespace {

int failures = 0;

void check(bool ok, const char *what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

unsigned long packed(unsigned long major, unsigned long minor, unsigned long micro, unsigned long last = 0) {
    return major << 24 | minor << 16 | micro << 8 | last;
}

}  // namespace

int main() {
    using loss::pack_version;
    using loss::version_matches;

    check(pack_version("3.8.10 (default, May 26 2021, 14:05:08) [GCC 9.3.0]") == packed(3, 8, 10), "3.8.10 + blank");
    check(pack_version("3.12.1+ (heads/3.12:abc)") == packed(3, 12, 1), "3.12.1+");
    check(pack_version("3.13.0rc1") == packed(3, 13, 0), "stops at a letter");
    check(pack_version("3.9") == packed(3, 9, 0), "two numbers");
    check(pack_version("3.11.7.2.9") == packed(3, 11, 7, 2), "at most four numbers");
    check(pack_version("3.10.255") == packed(3, 10, 255), "micro 255 stays in its byte");
    check(pack_version("") == 0, "empty");

    check(version_matches(pack_version("3.9"), 3, 9), "3.9 matches 3.9");
    check(!version_matches(pack_version("3.9"), 3, 8), "3.9 is not 3.8");
    check(!version_matches(pack_version("3.7.17"), 3, 8), "older runtime");
    check(!version_matches(pack_version("3.10.0"), 3, 8), "newer runtime");
    check(!version_matches(pack_version("4.8.0"), 3, 8), "other major");
    check(!version_matches(pack_version("3.1.8"), 3, 8), "minor is not micro");
    check(version_matches(pack_version("3.8.0"), 3, 8) && version_matches(pack_version("3.8.99"), 3, 8),
          "micro never compared");
    check(version_matches(pack_version("3.12.1+"), 3, 12), "3.12.1+ matches 3.12");

    char buffer[200];
    std::memset(buffer, 'x', sizeof buffer);
    loss::format_version_warning(buffer, 3, 8, pack_version("3.9.18 (main)"));
    check(std::strcmp(buffer, "compile time Python version 3.8 of module 'loss' does not match runtime version 3.9") ==
              0,
          "warning text");
    loss::format_version_warning(buffer, 3, 11, pack_version("3.13.0"));
    check(std::strcmp(buffer, "compile time Python version 3.11 of module 'loss' does not match runtime version 3.13") ==
              0,
          "warning text, two-digit minors");

    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
