// Failure counting shared by the check programs of tests/cpp: CHECK(cond)
// and CHECK_MSG(cond, text) report a failed check with its place; finish()
// prints the summary line and gives the exit status.
#pragma once
#include <cstdio>
#include <string>

namespace checks {
inline int failures = 0;

inline void fail(const std::string& what, const char* file, int line) {
    if (++failures <= 20) std::printf("%s:%d: CHECK failed: %s\n", file, line, what.c_str());
}

inline int finish(const char* program) {
    if (failures) std::printf("%s: %d check(s) failed\n", program, failures);
    else std::printf("%s: all checks passed\n", program);
    return failures ? 1 : 0;
}
}  // namespace checks

#define CHECK_MSG(cond, what) ((cond) ? void() : ::checks::fail(what, __FILE__, __LINE__))
#define CHECK(cond) CHECK_MSG(cond, #cond)
