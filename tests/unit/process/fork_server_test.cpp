// The fork server, with this test program as the program it forks: each
// child runs `entry` below, as plugin-host's children run plugin-host's.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "process/process.h"

namespace {

// What a forked child does, by its first argument.
int entry(const std::vector<std::string>& arguments) {
    const std::string command = arguments.empty() ? "" : arguments[0];
    if (command == "exit") {
        return std::stoi(arguments.at(1));
    }
    if (command == "say") {  // its arguments, its mark and its thread count
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            std::printf("%s ", arguments[i].c_str());
        }
        const char* mark = std::getenv("PLUGIN_HOST_RUN");
        std::printf("| %s | %zu", mark != nullptr ? mark : "(none)", process::runningThreads());
        return 0;
    }
    if (command == "kill-parent") {
        kill(getppid(), SIGKILL);
        for (;;) {
            pause();
        }
    }
    if (command == "stop") {
        raise(SIGSTOP);
    }
    return 99;
}

process::Termination forked(const std::vector<std::string>& arguments) {
    process::Redirect capture;
    capture.capture = true;
    return process::runThisProgram(arguments, capture);
}

// A child's arguments, environment mark and ending reach it and come back as
// a child's started afresh would; one that kills the fork server ends, and
// the next child has a new server.
TEST(ForkServer, ForksEachChildAndOutlivesAServerThatWasKilled) {
    for (const int code : {0, 3, 42}) {
        const auto ended = forked({"exit", std::to_string(code)});
        EXPECT_EQ(ended.exitCode, code);
        EXPECT_FALSE(ended.crashed || ended.timedOut || ended.leftProcesses);
    }
    const auto said = forked({"say", "a b", "", "ü"});
    EXPECT_EQ(said.exitCode, 0);
    EXPECT_EQ(said.standardOutput.head, "a b  ü | " + said.mark + " | 1");
    EXPECT_NE(said.mark, forked({"say"}).mark) << "a mark of each child's own";

    const auto stopped = forked({"stop"});
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(stopped.description, "signal 19 (Stopped (signal))");

    const auto killer = forked({"kill-parent"});
    EXPECT_TRUE(killer.crashed);
    EXPECT_EQ(killer.description, "signal 9 (Killed)");
    EXPECT_EQ(forked({"exit", "7"}).exitCode, 7) << "a new server";
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto served = process::serveForks(argc, argv, entry)) {
        return *served;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
