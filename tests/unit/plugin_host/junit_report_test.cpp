#include <gtest/gtest.h>

#include "junit_report.h"

namespace {

using namespace host;

// Whatever bytes a plugin hands over, the text is one XML 1.0 can hold.
TEST(JunitReport, TextKeepsTheOneRepresentationAndOnlyCharactersXmlAllows) {
    const struct {
        std::string text;
        std::string xml;
    } cases[] = {
        {"plain é ✓ 𝄞", "plain é ✓ 𝄞"},
        {"<a href=\"x\">&amp;</a> 'q'", "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt; 'q'"},
        {"one\ntwo\r\tthree\x1b[31m\x7f", "one\\x0Atwo\\x0D\\x09three\\x1B[31m\\x7F"},
        {std::string("nul\0!", 5), "nul\\x00!"},
        {"\xff\xC0\xAF\xED\xA0\x80", "\\xFF\\xC0\\xAF\\xED\\xA0\\x80"},
        {"\xC2\x9B", "\\xC2\\x9B"},
        {"\xEF\xBF\xBE and \xEF\xBF\xBF", "\\xEF\\xBF\\xBE and \\xEF\\xBF\\xBF"},
        {"\xEF\xBF\xBD \xEF\xBF", "\xEF\xBF\xBD \\xEF\\xBF"},
        {"C:\\plugins\\x.dll", "C:\\plugins\\x.dll"},
        // Characters that share two of a noncharacter's three bytes: U+2FFE, U+FFBE.
        {"\xE2\xBF\xBE \xEF\xBE\xBE", "\xE2\xBF\xBE \xEF\xBE\xBE"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(xmlText(c.text), c.xml) << c.text;
    }
}

TEST(JunitReport, EachStatusIsTheElementCiServersReadWithItsCause) {
    RunReport report;
    report.module = "/plugins/My<Plugin>.so";
    report.tests = {
        {"descriptor", TestStatus::Passed, "", 0.0421},
        {"lifecycle", TestStatus::Failed, "onLoad threw std::runtime_error: \"bad\xff\"\n", 1.5},
        {"get-plugin-twice", TestStatus::Crashed, "crashed with signal 11 (Segmentation fault)",
         0.0005001},
        {"delete-before-get", TestStatus::TimedOut, "killed in deleteMe after 1 s", 1.0004},
        {"fresh-after-delete", TestStatus::Skipped, ""},
        {"copy-outlives-delete", TestStatus::Skipped, "the descriptor test failed"},
    };
    report.pluginOutput = {
        {"lifecycle", "standard output", 12, "hello \\x1B"},
        {"descriptor", "standard error", 3, "a&b"},
        {"lifecycle", "standard error", 1, ""},
    };
    report.warnings = {{"plugin-output", "the plugin wrote\x1b"}, {"process-state", "left <it>"}};
    report.outcome = Outcome::Misbehaved;
    report.cause = "lifecycle: onLoad threw";
    report.seconds = 1.5123;  // the tests ran side by side
    // What a report can be trusted for: what kept the plugin in, and what not.
    report.containment = ContainmentRecord{{"user namespace", "ipc namespace", "seccomp filter"},
                                           {"network namespace"},
                                           "network namespace: Operation not permitted",
                                           false,
                                           {}};

    EXPECT_EQ(junitXml(report),
              R"xml(<?xml version="1.0" encoding="UTF-8"?>
<testsuites name="plugin-host" tests="6" failures="1" errors="2" skipped="2" time="1.512">
  <testsuite name="My&lt;Plugin&gt;.so" tests="6" failures="1" errors="2" skipped="2" time="1.512">
    <properties>
      <property name="module" value="/plugins/My&lt;Plugin&gt;.so"/>
      <property name="result" value="misbehaved"/>
      <property name="cause" value="lifecycle: onLoad threw"/>
      <property name="containment" value="the user and ipc namespaces and the seccomp filter"/>
      <property name="containment-refused" value="the network namespace (network namespace: Operation not permitted)"/>
    </properties>
    <testcase name="descriptor" classname="My&lt;Plugin&gt;" time="0.042">
      <system-out>the plugin wrote 3 bytes to standard error; first line: &quot;a&amp;b&quot;
</system-out>
    </testcase>
    <testcase name="lifecycle" classname="My&lt;Plugin&gt;" time="1.500">
      <failure message="onLoad threw std::runtime_error: &quot;bad\xFF&quot;\x0A" type="failed">onLoad threw std::runtime_error: &quot;bad\xFF&quot;\x0A</failure>
      <system-out>the plugin wrote 12 bytes to standard output; first line: &quot;hello \x1B&quot;
the plugin wrote 1 bytes to standard error; first line: &quot;&quot;
</system-out>
    </testcase>
    <testcase name="get-plugin-twice" classname="My&lt;Plugin&gt;" time="0.001">
      <error message="crashed with signal 11 (Segmentation fault)" type="crashed">crashed with signal 11 (Segmentation fault)</error>
    </testcase>
    <testcase name="delete-before-get" classname="My&lt;Plugin&gt;" time="1.000">
      <error message="killed in deleteMe after 1 s" type="timed out">killed in deleteMe after 1 s</error>
    </testcase>
    <testcase name="fresh-after-delete" classname="My&lt;Plugin&gt;" time="0.000">
      <skipped type="skipped"></skipped>
    </testcase>
    <testcase name="copy-outlives-delete" classname="My&lt;Plugin&gt;" time="0.000">
      <skipped message="the descriptor test failed" type="skipped">the descriptor test failed</skipped>
    </testcase>
    <system-err>plugin-host: /plugins/My&lt;Plugin&gt;.so: warning [plugin-output]: the plugin wrote\x1B
plugin-host: /plugins/My&lt;Plugin&gt;.so: warning [process-state]: left &lt;it&gt;
</system-err>
  </testsuite>
</testsuites>
)xml");
}

TEST(JunitReport, APassedRunIsBareTestCasesAndAModuleWithoutFolderOrExtensionNamesItself) {
    RunReport report;
    report.module = "C:\\plugins\\Velquist";
    report.tests = {{"descriptor", TestStatus::Passed, ""}};
    EXPECT_EQ(junitXml(report), R"xml(<?xml version="1.0" encoding="UTF-8"?>
<testsuites name="plugin-host" tests="1" failures="0" errors="0" skipped="0" time="0.000">
  <testsuite name="Velquist" tests="1" failures="0" errors="0" skipped="0" time="0.000">
    <properties>
      <property name="module" value="C:\plugins\Velquist"/>
      <property name="result" value="passed"/>
      <property name="containment" value="none: the tests ran in plugin-host's own process"/>
    </properties>
    <testcase name="descriptor" classname="Velquist" time="0.000"/>
  </testsuite>
</testsuites>
)xml");
}

}  // namespace
