#pragma once
// A property a fuzz target checks beyond the sanitizers: a violation ends the run like a crash,
// so that libFuzzer keeps the input that caused it.

#include <cstdio>
#include <cstdlib>

inline void FuzzCheck(bool holds, const char* property)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz property violated: %s\n", property);
    std::abort();
}
