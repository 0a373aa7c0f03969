// Version-text parsing and the major.minor comparison, checked over a
// table of texts the interpreter could report (and some it never should).
// Prints each mismatch; the exit status is the number of mismatches.
#include "runtime/version_check.h"

#include <cstdio>

namespace runtime = factbrief::runtime;

namespace {

struct ParseCase {
    const char* text;
    unsigned long packed;
};

const ParseCase kParse[] = {
    {"3.10.13", 0x030A0D00},
    {"3.10.0+", 0x030A0000},  // stops at the first character after a part
    {"3.11.7 (main, Jan  1 2024, 00:00:00) [GCC 12.2.0]", 0x030B0700},
    {"3", 0x03000000},
    {"", 0},
    {"3.x", 0x03000000},        // a part without digits reads as 0
    {"3.10.", 0x030A0000},
    {"03.010", 0x030A0000},
    {"10.3", 0x0A030000},
    {"3.10.1.2", 0x030A0102},
    {"3.10.1.2.9", 0x030A0102},  // a fifth part is never read
    {"3.256", 0x03FF0000},       // saturates instead of carrying
    {"2.266", 0x02FF0000},
    {"99999999999999999999.1", 0xFF010000},
};

struct CompareCase {
    const char* a;
    const char* b;
    bool same;
};

const CompareCase kCompare[] = {
    {"3.10.13", "3.10.0+", true},
    {"3.10.0", "3.10.255.255", true},
    {"3.10", "3.11.0", false},
    {"3.10", "3.1", false},
    {"3.10", "4.10", false},
    {"3.10", "", false},
    // Would read as 3.10 if a part could spill into its neighbour.
    {"2.266", "3.10", false},
    {"3.256", "4.0", false},
};

}  // namespace

int main()
{
    int failures = 0;
    for (const ParseCase& c : kParse) {
        unsigned long got = runtime::parse_version(c.text);
        if (got != c.packed) {
            std::printf("parse_version(\"%s\") = 0x%08lX, expected 0x%08lX\n",
                        c.text, got, c.packed);
            ++failures;
        }
    }
    for (const CompareCase& c : kCompare) {
        bool got = runtime::same_major_minor(runtime::parse_version(c.a),
                                             runtime::parse_version(c.b));
        if (got != c.same) {
            std::printf("same_major_minor(\"%s\", \"%s\") = %d\n", c.a, c.b,
                        got);
            ++failures;
        }
    }
    unsigned long v = runtime::parse_version("3.11.7");
    if (runtime::version_major(v) != 3 || runtime::version_minor(v) != 11) {
        std::printf("major.minor of 3.11.7 read as %d.%d\n",
                    runtime::version_major(v), runtime::version_minor(v));
        ++failures;
    }
    std::printf("%d failure(s)\n", failures);
    return failures;
}
