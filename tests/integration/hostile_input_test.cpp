// plugin-host on texts no terminal or JSON reader should get raw, on files
// that are not modules, and on trouble of its own: every message stays one
// line, the JSON stays valid, and plugin-host's own failures are its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "plugin_host_run.h"

#if !defined(_WIN32)
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

// What a terminal gets from plugin-host: valid UTF-8, and no control
// character but the line ends.
void expectTerminalSafe(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool lineEnd =
            byte == '\n' || (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
        EXPECT_TRUE(lineEnd || (byte >= 0x20 && byte != 0x7F))
            << "byte " << int(byte) << " at " << i;
        if (byte == 0xC2 && i + 1 < text.size()) {
            EXPECT_GE(static_cast<unsigned char>(text[i + 1]), 0xA0) << "a C1 control at " << i;
        }
    }
    EXPECT_NO_THROW(static_cast<void>(nlohmann::json(text).dump())) << "not UTF-8";
}

using HostileInput = PluginHost;

TEST_F(HostileInput, DescriptorTextsKeepTheirBytesAndCannotTakeOverTheTerminal) {
    const std::string path = module("fixture_hostile_descriptor");
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun text = host({mode, path});
        EXPECT_EQ(text.exitCode, 0) << text.err;
        expectTerminalSafe(text.out);
        expectTerminalSafe(text.err);
        const auto out = lines(text.out);
        ASSERT_GE(out.size(), 6u) << text.out;
        EXPECT_EQ(out[2], "  class     \"Evil\\xC0\\xAFPlugin\"");
        EXPECT_EQ(out[3], "  name      \"\\x80 and \\xE2\\x82\"");
        EXPECT_EQ(out[4], "  version   \"\\xFF\\xC2\\x9B\\x7F1.0\\x09\\x01\"");
        EXPECT_EQ(out[5], "  source    \"src/\\x1B[2J\\x0Dplugin.cpp\\x0Aplugin-host: fake.cpp\"");

        const HostRun json = host({mode, "--json", path});
        EXPECT_EQ(json.exitCode, 0) << json.err;
        const auto descriptor = nlohmann::json::parse(json.out)["descriptor"];
        EXPECT_EQ(descriptor["classLabel"], "Evil\\xC0\\xAFPlugin");
        EXPECT_EQ(descriptor["displayName"], "\\x80 and \\xE2\\x82");
        EXPECT_EQ(descriptor["versionText"],
                  "\\xFF\xC2\x9B\x7F"
                  "1.0\t\x01");
        EXPECT_EQ(descriptor["sourcePath"], "src/\x1b[2J\rplugin.cpp\nplugin-host: fake.cpp");
        // JSON's own escapes for the control characters, nothing raw.
        EXPECT_EQ(json.out.find('\x1b'), std::string::npos);
        EXPECT_NE(json.out.find("src/\\u001b[2J\\rplugin.cpp\\nplugin-host: fake.cpp"),
                  std::string::npos);
    }
}

TEST_F(HostileInput, AnExceptionMessageStaysOnTheOneLineOfItsFailure) {
    const std::string path = module("fixture_hostile_exception");
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, "--json", path});
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(run.errLines(),
                  std::vector<std::string>{"plugin-host: " + path +
                                           ": lifecycle: onLoad threw an exception: "
                                           "one\\x0Atwo\\x0D\\x1B[31mred\\xFF"});
        EXPECT_EQ(nlohmann::json::parse(run.out)["cause"],
                  "lifecycle: onLoad threw an exception: one\ntwo\r\x1b[31mred\\xFF");
        expectTerminalSafe(run.err);
    }
}

TEST_F(HostileInput, AValueThePluginWritesIsShownEscaped) {
    const std::string path = module("fixture_hostile_value");
    const HostRun text = host({path});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    expectTerminalSafe(text.out);
    EXPECT_EQ(lines(text.out)[7],
              "  cl_online_status_override: \"online\" -> \"\\xFF\\x1B[0m\\x0A\"");
    const HostRun json = host({"--json", path});
    EXPECT_EQ(nlohmann::json::parse(json.out)["changes"][0]["new"], "\\xFF\x1b[0m\n");
}

TEST_F(HostileInput, AnExceptionWithoutAMessageIsReportedTheSameInBothModes) {
    const std::string path = module("fixture_null_what");
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, path});
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(run.errLines(), std::vector<std::string>{
                                      "plugin-host: " + path +
                                      ": lifecycle: onLoad threw an exception: (null what())"});
    }
}

TEST_F(HostileInput, AMebibyteOfTextIsCarriedWhole) {
    const std::string path = module("fixture_huge_text");
    const std::string name = "\\xFF" + std::string((1 << 20) - 2, 'a') + "\\xFE";
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun json = host({mode, "--json", path});
        EXPECT_EQ(json.exitCode, 0) << json.err.substr(0, 300);
        EXPECT_EQ(nlohmann::json::parse(json.out)["descriptor"]["displayName"], name);
        const HostRun text = host({mode, path});
        EXPECT_EQ(text.exitCode, 0);
        EXPECT_EQ(lines(text.out)[3], "  name      \"" + name + "\"");
    }
}

#if !defined(_WIN32)
TEST_F(HostileInput, AModuleWhoseFileNameIsNotUtf8Loads) {
    const auto copy = scratch / "not utf-8 \xff.so";
    std::filesystem::copy_file(builtModule("Velquist"), copy);
    const HostRun json = host({"--json", copy.string()});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out)["module"],
              process::pathToUtf8(scratch) + "/not utf-8 \\xFF.so");
    const HostRun text = host({copy.string()});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    expectTerminalSafe(text.out);
    EXPECT_EQ(lines(text.out).back(),
              "not utf-8 \\xFF.so: passed 7 of 7 tests; lifecycle passed 1 of 1 cycle, handles "
              "released, module unloaded");
}

#if !defined(_WIN32)
// The line a crash under --in-process writes is made in the crash, in room
// of its own: a module path longer than that room cuts the line short, and
// the crash is still the plugin's.
TEST_F(HostileInput, ACrashLineLongerThanItsRoomIsCutShort) {
    std::filesystem::path folder = scratch;
    for (int depth = 0; depth < 12; ++depth) {
        folder /= std::string(200, 'd');
    }
    std::filesystem::create_directories(folder);
    const auto copy = folder / "crashes.so";
    std::filesystem::copy_file(builtModule("fixture_crashing_onload"), copy);
    const HostRun run = host({"--in-process", "--test", "lifecycle", copy.string()});
    EXPECT_TRUE(run.crashed);
    const std::string line =
        "plugin-host: " + copy.string() + ": lifecycle: " + kSegfault + " in onLoad (cycle 1)";
    EXPECT_EQ(run.errLines(), std::vector<std::string>{line.substr(0, 2047)});
}
#endif

// A path is the user's bytes: in the crash line, control bytes are escaped
// as everywhere else, and the line stays one line.
TEST_F(HostileInput, ACrashLineShowsAPathsControlBytesEscaped) {
    const auto copy = scratch / "bad\x1b[31m\nname.so";
    std::filesystem::copy_file(builtModule("fixture_crashing_onload"), copy);
    const HostRun run = host({"--in-process", "--test", "lifecycle", copy.string()});
    EXPECT_EQ(run.ending, "signal 11 (Segmentation fault)");
    EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + scratch.string() +
                                                       "/bad\\x1B[31m\\x0Aname.so: lifecycle: " +
                                                       kSegfault + " in onLoad (cycle 1)"});
}

TEST_F(HostileInput, OnlyARegularFileIsEverOpenedAsAModule) {
    const std::string fifo = process::pathToUtf8(scratch / "fifo.so");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string socketPath = process::pathToUtf8(scratch / "socket.so");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::vector<std::pair<std::string, std::string>> files = {
        {fifo, "is a FIFO, not a module"},
        {socketPath, "is a socket, not a module"},
        {"/dev/null", "is a device, not a module"}};
    // A block device too, where this process may make one (a loop device's
    // number: stat never opens it).
    const std::string block = process::pathToUtf8(scratch / "block.so");
    if (mknod(block.c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0) {
        files.emplace_back(block, "is a device, not a module");
    }
    // Named alone, each is no module and no folder: nothing runs. In a folder,
    // each is a module by its name, which the loader refuses unopened.
    std::vector<std::string> inFolder;
    for (const auto& [path, why] : files) {
        SCOPED_TRACE(path);
        const HostRun run = host({path});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + path +
                                                           ": neither a module nor a folder"});
        EXPECT_EQ(run.out, "");
        if (path.rfind(process::pathToUtf8(scratch), 0) == 0) {
            inFolder.push_back("plugin-host: " + path + ": cannot be loaded: " + why);
        }
    }
    const auto started = std::chrono::steady_clock::now();
    const HostRun folder = host({"--json", process::pathToUtf8(scratch)});  // the limit: 30 s
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(folder.exitCode, 2);
    std::sort(inFolder.begin(), inFolder.end());  // the folder's modules go in name order
    EXPECT_EQ(folder.errLines(), inFolder);
    close(listener);
}
#endif

// The variable that names the folder for temporary files, set for as long as
// it lives.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& folder) {
#if defined(_WIN32)
        for (const char* name : {"TMP", "TEMP"}) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old != nullptr ? old : "");
            _putenv_s(name, folder.c_str());
        }
#else
        const char* old = std::getenv("TMPDIR");
        saved_.emplace_back("TMPDIR", old != nullptr ? old : "");
        setenv("TMPDIR", folder.c_str(), 1);
#endif
    }
    ~TemporaryFolder() {
        for (const auto& [name, value] : saved_) {
#if defined(_WIN32)
            _putenv_s(name.c_str(), value.c_str());
#else
            if (value.empty()) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value.c_str(), 1);
            }
#endif
        }
    }

private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

#if defined(_WIN32)
// A copy of a good module with one field of its headers changed.
std::string patched(const std::string& bytes, std::size_t (*where)(const std::string&),
                    std::uint32_t value, std::size_t width) {
    std::string copy = bytes;
    std::memcpy(copy.data() + where(copy), &value, width);
    return copy;
}
std::size_t optionalHeader(const std::string& image) {
    std::uint32_t pe = 0;
    std::memcpy(&pe, image.data() + 0x3C, sizeof pe);
    return pe + 24;
}

// A module whose headers cannot be read is refused before any loader sees it.
TEST_F(HostileInput, AModuleWithUnreadableHeadersIsRefusedInPluginHostsWords) {
    const std::string good = slurp(builtModule("fixture_noop"));
    const struct {
        const char* name;
        std::string bytes;
        const char* cause;
    } cases[] = {
        {"import_outside.dll",
         patched(
             good, [](const std::string& i) { return optionalHeader(i) + 120; }, 0x7FFFFFF0u, 4),
         "its import table points outside the file"},
        {"pe32.dll", patched(good, optionalHeader, 0x10Bu, 2),
         "is a 32-bit Windows module (no PE32+ header); the host is 64-bit"},
        {"cut_short.dll", good.substr(0, optionalHeader(good) + 64),
         "its headers point outside the file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scratchFile(c.name, c.bytes);
        const HostRun run = host({path});
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + path +
                                                           ": cannot be loaded: " + c.cause});
    }
}
#endif

TEST_F(HostileInput, AFolderPluginHostCannotWriteIsItsOwnFailureNeverThePlugins) {
    const std::string path = module("Velquist");
    const std::string missing = process::pathToUtf8(scratch / "no such folder");
    HostRun run;
    {
        const TemporaryFolder folder(missing);
        run = host({"--json", path});
    }
#if defined(_WIN32)
    EXPECT_EQ(run.exitCode, 3) << run.err;
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    const std::string line = run.errLines()[0];
    const std::string prefix = "plugin-host: " + path + ": ";
    EXPECT_EQ(line.substr(0, prefix.size()), prefix) << line;
    EXPECT_EQ(line.find(": internal error"), std::string::npos) << line;
    EXPECT_NE(line.find(": cannot write its report file"), std::string::npos) << line;
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["result"], "host failure");
    EXPECT_EQ(report["exitCode"], 3);
#else
    // A contained child reports into a file the fork server makes in the
    // child's own folder: the user's folder for temporary files is not used.
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
#endif
}

// Killed while its children run (a CI job's time limit, say), plugin-host
// takes its children and their report files with it: none is left in the
// folder for temporary files to fill it.
TEST_F(HostileInput, AKilledPluginHostLeavesNothingInTheFolderForTemporaryFiles) {
    const auto folder = scratch / "tmp";
    std::filesystem::create_directories(folder);
    process::Termination killed;
    {
        const TemporaryFolder temporary(process::pathToUtf8(folder));
        process::Redirect capture;
        capture.capture = true;
        // Each child hangs in onLoad until plugin-host is killed.
        killed = process::run(builtFile(PLUGIN_HOST_FILE_NAME),
                              {"--timeout", "0", module("fixture_hanging_onload")}, capture,
                              process::Watchdog{std::chrono::milliseconds(1500), {}, {}});
    }
    EXPECT_TRUE(killed.timedOut);
    // Its children end with it, each at a moment of its own.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::is_empty(folder) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

#if !defined(_WIN32)
TEST_F(HostileInput, AReportThatCannotBeWrittenIsNeverAPass) {
    const std::string path = module("Velquist");
    for (const char* format : {"--json", "--strict"}) {
        SCOPED_TRACE(format);
        const auto termination = process::run(builtFile(PLUGIN_HOST_FILE_NAME), {format, path},
                                              {"/dev/full", scratch / "err.txt"});
        EXPECT_EQ(termination.exitCode, 3);
        EXPECT_EQ(slurp(scratch / "err.txt"),
                  "plugin-host: " + path + ": cannot write to standard output\n");
    }
    const auto list = process::run(builtFile(PLUGIN_HOST_FILE_NAME), {"--list-tests"},
                                   {"/dev/full", scratch / "err.txt"});
    EXPECT_EQ(list.exitCode, 3);
    // A JUnit file that takes its first, empty write and none after it.
    const HostRun junit = host({"--junit", "/dev/full", path});
    EXPECT_EQ(junit.exitCode, 3);
    EXPECT_EQ(junit.errLines(), std::vector<std::string>{
                                    "plugin-host: " + path +
                                    ": cannot write the JUnit report /dev/full (No space left on "
                                    "device)"});
}
#endif

}  // namespace
