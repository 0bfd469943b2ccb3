#include "manual.h"

#include "catalog.h"
#include "command_line.h"
#include "warnings.h"

namespace host {

namespace {

// Text as roff reads it: a backslash and a minus sign as themselves, a line
// that would start with a control character, as text. Backquotes, which
// the catalog puts around names, set them in bold.
std::string roff(const std::string& text) {
    std::string out;
    bool bold = false;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else if (c == '`') {
            out += bold ? "\\fR" : "\\fB";
            bold = !bold;
        } else if (c == '\n') {
            out += ' ';
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out.front() == '.' || out.front() == '\'')) {
        out.insert(0, "\\&");
    }
    return out + (bold ? "\\fR" : "");
}

}  // namespace

std::string manualPage() {
    std::string page =
        ".TH PLUGIN-HOST 1 \"\" \"plugin-host " VELQUIST_VERSION
        "\" \"User Commands\"\n"
        ".SH NAME\n"
        "plugin-host \\- load a BakkesMod plugin module headless and test its contract\n"
        ".SH SYNOPSIS\n"
        ".B plugin-host\n"
        "[\\fIOPTIONS\\fR] \\fIMODULE\\fR...\n"
        ".br\n"
        ".B plugin-host \\-\\-explore\n"
        "[\\fIN\\fR] [\\fB\\-\\-seed\\fR \\fIS\\fR] [\\fIOPTIONS\\fR] \\fIMODULE\\fR...\n"
        ".br\n"
        ".B plugin-host \\-\\-sequence\n"
        "\\fIOPS\\fR [\\fIOPTIONS\\fR] \\fIMODULE\\fR...\n"
        ".br\n"
        ".B plugin-host \\-\\-list-tests\n"
        ".SH DESCRIPTION\n" +
        roff(programDescription()) +
        "\n.PP\n"
        "Each test runs in a child process of its own, so a plugin that crashes or hangs is "
        "reported, with its step, instead of taking the host down; and contained, so that it "
        "reaches no process, file or connection outside its test (on Linux namespaces, Landlock "
        "and a seccomp filter, on Windows a job object and a restricted, low-integrity token). A "
        "run that does not pass says "
        "so in one line on standard error, naming the module, the first failing test and its "
        "cause.\n"
        ".PP\n"
        "A \\fIMODULE\\fR may be a folder: every module directly in it, in name order. "
        "Several modules run side by side, their children at most \\fB\\-\\-jobs\\fR at "
        "once; each gets the verdict it gets alone, reported in the order named, and the text "
        "report ends with a table of the modules and a line of totals. The exit code is the "
        "worst of the modules'.\n"
        ".SH OPTIONS\n";
    for (const auto& option : optionsHelp()) {
        page += ".TP\n";
        std::string names;
        for (const auto& name : option.names) {
            names += (names.empty() ? "" : ", ") + std::string("\\fB") + roff(name) + "\\fR";
        }
        if (option.positional) {
            names = "\\fI" + roff(option.names.front()) + "\\fR";
        } else if (!option.value.empty()) {
            names += " \\fI" + roff(option.value) + "\\fR";
        }
        page += names + "\n" + roff(option.description) + "\n";
    }
    page += ".SH TESTS\n";
    for (const auto& test : contractTests()) {
        page += ".TP\n.B " + roff(test.name) + "\nChecks: " + roff(test.checks) +
                ".\n.br\nA failure usually means: " + roff(test.failureMeans) + ".\n";
    }
    page +=
        ".SH WARNINGS\nEach is one line on standard error; the exit code stays 0 unless "
        "\\fB\\-\\-strict\\fR.\n";
    for (const auto& [name, description] : warningChecks()) {
        page += ".TP\n.B " + roff(name) + "\n" + roff(description) + "\n";
    }
    page += ".SH EXIT STATUS\n";
    for (const auto& [code, meaning] : exitCodes()) {
        page += ".TP\n.B " + std::to_string(code) + "\n" + roff(meaning) + "\n";
    }
    page +=
        ".SH ENVIRONMENT\n"
        ".TP\n.B TMPDIR\n"
        "Set, in each isolated test's child on Linux, to the test's own folder (see FILES); "
        "plugin-host itself makes nothing in the one it is given there.\n"
        ".TP\n.B TMP\n"
        "On Windows, the folder for temporary files, where each isolated test's report file and "
        "own folder are made. A folder that is missing or full is plugin-host's own trouble: "
        "exit code 3.\n"
        ".SH FILES\n"
        ".TP\n.I /dev/shm/N\n"
        "On Linux, each isolated test's own folder and its report file, in a file system in "
        "memory that only the run sees (\\fI/dev/shm/plugin-host-PID-N\\fR where the system "
        "refuses the namespaces); gone with whatever the plugin left in it when the test ends, "
        "and when plugin-host ends, however it ends.\n"
        ".TP\n.I share/doc/Velquist/docs/plugin-host.md\n"
        "The whole reference, installed beside this page.\n"
        ".SH EXAMPLES\n"
        "Run every test on a module, then only the lifecycle, ten thousand times:\n"
        ".PP\n.nf\n"
        "plugin-host build/MyPlugin.so\n"
        "plugin-host \\-\\-test lifecycle \\-\\-cycles 10000 build/MyPlugin.so\n"
        ".fi\n.PP\n"
        "Fail on any warning, and write a JUnit report for a CI server:\n"
        ".PP\n.nf\n"
        "plugin-host \\-\\-strict \\-\\-junit report.xml build/MyPlugin.so\n"
        ".fi\n.PP\n"
        "Run random sequences of the host's operations, and replay the one that failed:\n"
        ".PP\n.nf\n"
        "plugin-host \\-\\-explore 1000 build/MyPlugin.so\n"
        "plugin-host \\-\\-sequence getPlugin,copy,deleteMe,getPlugin build/MyPlugin.so\n"
        ".fi\n.PP\n"
        "Hold a plugin folder side by side, explore how its plugins' operations interleave, and "
        "replay the interleaving that failed:\n"
        ".PP\n.nf\n"
        "plugin-host \\-\\-together build/plugins\n"
        "plugin-host \\-\\-together \\-\\-explore build/plugins\n"
        "plugin-host \\-\\-together \\-\\-sequence 1:getPlugin,1:fill,1:onLoad,2:getPlugin "
        "build/plugins\n"
        ".fi\n";
    return page;
}

}  // namespace host
