#include "platform/BrokenPipe.h"
#include "platform/Console.h"
#include "support/DeathTest.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using BrokenPipeDeathTest = CThreadsafeDeathTest;

TEST_F(BrokenPipeDeathTest, ConsoleLineIntoAClosedPipeDoesNotEndTheProcess)
{
    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_DFL); // as a program finds it at start
            platform::IgnoreBrokenPipe();
            int ends[2];
            if (pipe(ends) != 0)
                std::_Exit(2);
            close(ends[0]); // the reader went away
            dup2(ends[1], STDOUT_FILENO);
            platform::ConsoleWrite("a log line nobody reads\r\n");
            std::fprintf(stderr, "still running\n");
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "still running");
}
