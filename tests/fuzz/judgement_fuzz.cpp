// The whole judgement of one isolated test: any log, sealed or not, and any
// ending in; a verdict out, through every report plugin-host writes. Only a
// sealed passing report and a clean exit pass; only the child's sealed
// words blame plugin-host.
//
// Bytes: the ending (exit code in the low four bits; 0x10 crashed, 0x20
// timed out, 0x40 the child's sealed "cannot write" line on standard error,
// 0x80 output on standard output), the cycles, the test, then the log and,
// after its first NUL, what else the child wrote on standard error.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>

#include "child_ending.h"
#include "junit_report.h"
#include "merge.h"
#include "report_json.h"
#include "sealed_log.h"
#include "text_output.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const auto& tests = host::contractTests();
    const host::ContractTest& test = tests[data[2] % tests.size()];
    const host::RecordSeal& seal = fuzzSeal(test.name);

    process::Termination ending;
    ending.exitCode = data[0] & 0x0F;
    ending.crashed = (data[0] & 0x10) != 0;
    ending.timedOut = (data[0] & 0x20) != 0;
    ending.description = "the fuzzer's ending";
    std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);
    const auto split = rest.find('\0');
    if (split != std::string_view::npos) {
        ending.standardError.head = std::string(rest.substr(split + 1));
        rest = rest.substr(0, split);
    }
    if ((data[0] & 0x40) != 0) {
        ending.standardError.head += seal.cannotReportLine() + "\n";
    }
    ending.standardError.bytes = ending.standardError.head.size();
    ending.standardError.found =
        ending.standardError.head.find(seal.cannotReportLine()) != std::string::npos;
    if ((data[0] & 0x80) != 0) {
        ending.standardOutput = {3, "out"};
    }
    host::Options options;
    options.module = "/plugins/fuzzed.so";
    options.cycles = 1 + data[1] * 397;

    const std::string log = sealMarkedLines(rest, seal);
    const host::ChildProgress progress = host::parseProgress(log, seal);
    const host::TestReport report =
        host::judgeChild(options, test, progress, ending, "/tmp/report");

    const auto& sealed = progress.finalReport;
    if (report.status == host::TestStatus::Passed &&
        !(sealed && sealed->status == host::TestStatus::Passed && !ending.crashed &&
          !ending.timedOut && ending.exitCode == static_cast<int>(sealed->outcome) &&
          progress.garbageBytes == 0)) {
        __builtin_trap();  // a pass nobody sealed
    }
    if (report.outcome == host::Outcome::HostFailure && (data[0] & 0x40) == 0 &&
        !(sealed && sealed->outcome == host::Outcome::HostFailure)) {
        __builtin_trap();  // plugin-host blamed on the plugin's word
    }

    std::vector<const host::ContractTest*> ran;
    std::vector<host::TestReport> reports;
    for (const auto& each : tests) {
        ran.push_back(&each);
        reports.push_back(&each == &test
                              ? report
                              : host::TestReport::ended(each.name, host::TestStatus::Skipped, {}));
    }
    const host::RunReport merged = host::mergeReports(options, ran, reports);
    std::ostringstream out;
    host::printText(merged, out, out);
    const std::string json = nlohmann::ordered_json(merged).dump();
    const std::string junit = host::junitXml(merged);
    if (out.str().empty() || json.empty() || junit.empty()) {
        __builtin_trap();
    }
    return 0;
}
