// The fork server, with this test program as the program it forks: each
// child runs `entry` below, as plugin-host's children run plugin-host's.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
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
    if (command == "hang") {
        for (;;) {
            pause();
        }
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

// The fork server this process started: its child that runs with
// --fork-server.
pid_t forkServer() {
    std::ifstream children("/proc/self/task/" + std::to_string(getpid()) + "/children");
    for (pid_t pid = 0; children >> pid;) {
        std::ifstream command("/proc/" + std::to_string(pid) + "/cmdline");
        const std::string line{std::istreambuf_iterator<char>(command), {}};
        if (line.find("--fork-server") != std::string::npos) {
            return pid;
        }
    }
    return -1;
}

// A server that is stopped (by whom, it cannot say) serves nobody: the one
// who asks ends it rather than wait for its answer for ever, and the next
// child gets a new one.
TEST(ForkServer, AStoppedServerIsEndedAndTheNextChildGetsAnother) {
    EXPECT_EQ(forked({"exit", "0"}).exitCode, 0);
    const pid_t server = forkServer();
    ASSERT_GT(server, 0);
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    EXPECT_THROW(forked({"exit", "3"}), process::ProcessError);
    EXPECT_EQ(forked({"exit", "4"}).exitCode, 4);
    EXPECT_NE(forkServer(), server);

    // A child that runs as its server stops goes with the server, and is
    // not waited for in vain.
    process::Termination hung;
    std::thread asking([&hung] { hung = forked({"hang"}); });
    const pid_t serving = forkServer();
    const std::string itsChildren =
        "/proc/" + std::to_string(serving) + "/task/" + std::to_string(serving) + "/children";
    // Once the child waits in pause() (system call 34), it runs the program.
    const auto waiting = [&itsChildren] {
        pid_t forkedOne = 0;
        std::string call;
        return std::ifstream(itsChildren) >> forkedOne &&
               std::ifstream("/proc/" + std::to_string(forkedOne) + "/syscall") >> call &&
               call == "34";
    };
    while (!waiting()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(serving, SIGSTOP);
    asking.join();
    EXPECT_TRUE(hung.crashed);
    EXPECT_EQ(hung.description, "signal 9 (Killed)");
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto served = process::serveForks(argc, argv, entry)) {
        return *served;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
