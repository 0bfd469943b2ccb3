#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "catalog.h"

namespace {

using namespace host;

TEST(Catalog, SevenTestsInRunOrderWithOneGateAndOneCycleReporter) {
    std::vector<std::string> names;
    for (const auto& test : contractTests()) {
        names.push_back(test.name);
        EXPECT_NE(test.run, nullptr) << test.name;
        EXPECT_NE(std::string(test.checks), "") << test.name;
        EXPECT_NE(std::string(test.failureMeans), "") << test.name;
        EXPECT_EQ(findContractTest(test.name), &test);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"descriptor", "lifecycle", "get-plugin-twice",
                                               "delete-before-get", "fresh-after-delete",
                                               "copy-outlives-delete", "unload-while-holding"}));
    EXPECT_EQ(findContractTest("no-such-test"), nullptr);
    for (const auto& test : contractTests()) {
        EXPECT_EQ(test.gatesOthers, names.front() == test.name) << test.name;
        EXPECT_EQ(test.reportsCycles, std::string(test.name) == "lifecycle") << test.name;
    }
}

TEST(Catalog, ListTestsGivesEachTestItsTwoTexts) {
    std::string expected;
    for (const auto& test : contractTests()) {
        expected += std::string(test.name) + "\n  checks: " + test.checks +
                    "\n  a failure usually means: " + test.failureMeans + "\n";
    }
    EXPECT_EQ(listTestsText(), expected);
}

#if defined(VELQUIST_REFERENCE)
// The reference's table of tests says what the catalog says, word for word.
TEST(Catalog, TheReferencesTableIsTheCatalog) {
    std::ifstream readme(VELQUIST_REFERENCE);
    ASSERT_TRUE(readme) << VELQUIST_REFERENCE;
    std::vector<std::string> rows;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("| `", 0) == 0 && line.find("` | ") != std::string::npos) {
            rows.push_back(line);
        }
    }
    std::vector<std::string> expected;
    for (const auto& test : contractTests()) {
        expected.push_back("| `" + std::string(test.name) + "` | " + test.checks + " | " +
                           test.failureMeans + " |");
    }
    // Other tables start the same way; the test table is the rows naming tests.
    std::vector<std::string> testRows;
    for (const auto& row : rows) {
        for (const auto& test : contractTests()) {
            if (row.rfind("| `" + std::string(test.name) + "` |", 0) == 0) {
                testRows.push_back(row);
            }
        }
    }
    EXPECT_EQ(testRows, expected);
}
#endif

}  // namespace
