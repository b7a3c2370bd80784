#pragma once
// FuzzCheck: how a fuzz target reports a broken promise of the code under test (a round trip
// that changes a value, a result outside its documented range): the message, then abort(), which
// libFuzzer records as a crash with the input that caused it.

#include <cstdio>
#include <cstdlib>

namespace dorvex::fuzz {

inline void check(bool holds, const char* promise) {
    if (holds) return;
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
}

}  // namespace dorvex::fuzz
