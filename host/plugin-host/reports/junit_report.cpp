#include "junit_report.h"

#include <cmath>
#include <cstddef>
#include <sstream>
#include <string>

#include "containment_text.h"
#include "text_escape.h"
#include "text_output.h"

namespace host {

namespace {

// The two noncharacters U+FFFE and U+FFFF are valid UTF-8 that XML 1.0 does
// not allow; every other character escapedText leaves is allowed.
bool isXmlNoncharacter(const std::string& text, std::size_t i) {
    return i + 2 < text.size() && text[i] == '\xEF' && text[i + 1] == '\xBF' &&
           (text[i + 2] == '\xBE' || text[i + 2] == '\xBF');
}

std::string attribute(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + xmlText(value) + "\"";
}

std::string count(const char* name, std::size_t value) {
    return std::string(" ") + name + "=\"" + std::to_string(value) + "\"";
}

// Seconds to the millisecond, with a point whatever the process's locale:
// what CI servers read from `time`. Whole milliseconds, so that no library's
// floating-point formatting is needed.
std::string time(double seconds) {
    const long long milliseconds = std::llround(seconds * 1000);
    const std::string fraction = std::to_string(1000 + milliseconds % 1000);
    return " time=\"" + std::to_string(milliseconds / 1000) + "." + fraction.substr(1) + "\"";
}

// The element a test's status becomes; none for a pass.
const char* statusElement(TestStatus status) {
    switch (status) {
        case TestStatus::Failed:
            return "failure";
        case TestStatus::Crashed:
        case TestStatus::TimedOut:
            return "error";
        case TestStatus::Skipped:
            return "skipped";
        case TestStatus::Passed:
            break;
    }
    return nullptr;
}

std::size_t countOf(const RunReport& report, TestStatus a, TestStatus b) {
    std::size_t n = 0;
    for (const auto& test : report.tests) {
        n += test.status == a || test.status == b ? 1 : 0;
    }
    return n;
}

void writeTestCase(std::ostringstream& xml, const RunReport& report, const TestResult& test,
                   const std::string& className) {
    xml << "    <testcase" << attribute("name", test.name) << attribute("classname", className)
        << time(test.seconds);
    std::string output;
    for (const auto& written : report.pluginOutput) {
        if (written.test == test.name) {
            output += xmlText("the plugin wrote " + std::to_string(written.bytes) + " bytes to " +
                              written.stream + "; first line: \"" + written.firstLine + "\"") +
                      '\n';
        }
    }
    const char* element = statusElement(test.status);
    if (element == nullptr && output.empty()) {
        xml << "/>\n";
        return;
    }
    xml << ">\n";
    if (element != nullptr) {
        xml << "      <" << element;
        if (!test.cause.empty()) {
            xml << attribute("message", test.cause);
        }
        xml << attribute("type", toString(test.status)) << ">" << xmlText(test.cause) << "</"
            << element << ">\n";
    }
    if (!output.empty()) {
        xml << "      <system-out>" << output << "</system-out>\n";
    }
    xml << "    </testcase>\n";
}

}  // namespace

std::string xmlText(const std::string& text) {
    const std::string escaped = escapedText(text);
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (isXmlNoncharacter(escaped, i)) {
            out += escaped[i + 2] == '\xBE' ? "\\xEF\\xBF\\xBE" : "\\xEF\\xBF\\xBF";
            i += 2;
            continue;
        }
        switch (escaped[i]) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += escaped[i];
        }
    }
    return out;
}

namespace {

// One module's <testsuite>, and the counts its <testsuites> adds up.
struct SuiteCounts {
    std::size_t tests = 0, failures = 0, errors = 0, skipped = 0;
};

SuiteCounts writeSuite(std::ostringstream& xml, const RunReport& report) {
    // By hand: the module's name may hold any bytes, which a path would
    // convert on Windows.
    const std::string fileName = report.module.substr(report.module.find_last_of("/\\") + 1);
    const std::string className = fileName.substr(0, fileName.rfind('.'));
    const std::size_t failures = countOf(report, TestStatus::Failed, TestStatus::Failed);
    const std::size_t errors = countOf(report, TestStatus::Crashed, TestStatus::TimedOut);
    const std::size_t skipped = countOf(report, TestStatus::Skipped, TestStatus::Skipped);
    const auto counts = [&] {
        return count("tests", report.tests.size()) + count("failures", failures) +
               count("errors", errors) + count("skipped", skipped);
    };

    xml << "  <testsuite" << attribute("name", fileName) << counts() << time(report.seconds)
        << ">\n";
    xml << "    <properties>\n";
    xml << "      <property" << attribute("name", "module") << attribute("value", report.module)
        << "/>\n";
    xml << "      <property" << attribute("name", "result")
        << attribute("value", toString(report.outcome)) << "/>\n";
    if (!report.cause.empty()) {
        xml << "      <property" << attribute("name", "cause") << attribute("value", report.cause)
            << "/>\n";
    }
    // What kept the plugin in its tests, so that a report says what it can be
    // trusted for.
    const std::string contained =
        !report.containment                   ? "none: the tests ran in plugin-host's own process"
        : report.containment->inPlace.empty() ? "none"
                                              : describeParts(report.containment->inPlace);
    xml << "      <property" << attribute("name", "containment") << attribute("value", contained)
        << "/>\n";
    if (report.containment && !report.containment->missing.empty()) {
        xml << "      <property" << attribute("name", "containment-refused")
            << attribute("value", describeParts(report.containment->missing) + " (" +
                                      report.containment->why + ")")
            << "/>\n";
    }
    xml << "    </properties>\n";
    for (const auto& test : report.tests) {
        writeTestCase(xml, report, test, className);
    }
    if (!report.warnings.empty()) {
        std::string lines;
        for (const auto& warning : report.warnings) {
            lines += xmlText(warningLine(report.module, warning)) + '\n';
        }
        xml << "    <system-err>" << lines << "</system-err>\n";
    }
    xml << "  </testsuite>\n";
    return {report.tests.size(), failures, errors, skipped};
}

}  // namespace

std::string junitXml(const std::vector<RunReport>& reports, double seconds) {
    std::ostringstream suites;
    SuiteCounts all;
    for (const auto& report : reports) {
        const SuiteCounts counts = writeSuite(suites, report);
        all.tests += counts.tests;
        all.failures += counts.failures;
        all.errors += counts.errors;
        all.skipped += counts.skipped;
    }
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml << "<testsuites" << attribute("name", "plugin-host") << count("tests", all.tests)
        << count("failures", all.failures) << count("errors", all.errors)
        << count("skipped", all.skipped) << time(seconds) << ">\n";
    xml << suites.str() << "</testsuites>\n";
    return xml.str();
}

std::string junitXml(const RunReport& report) {
    return junitXml({report}, report.seconds);
}

}  // namespace host
