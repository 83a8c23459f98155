// The main of every test program: like the programs, it ignores SIGPIPE before anything
// runs, so a test that writes to a peer or a pipe that went away sees the error instead of dying.

#include "platform/BrokenPipe.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    platform::IgnoreBrokenPipe();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
