#pragma once
// Helpers for death tests of programs that report on standard output.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// gtest matches a dying child's standard error; the programs write their lines to standard
// output, so the child sends both to the same place.
inline void SendStdoutToStderr()
{
    dup2(2, 1); // standard output goes where standard error goes
}

// Death tests here start threads, so each child runs its test again from a fresh process.
class CThreadsafeDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
