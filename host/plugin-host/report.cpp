#include "report.h"

#include <nlohmann/json.hpp>

namespace host {

namespace {
constexpr const char* kStepNames[kStepCount] = {"load",     "descriptor", "getPlugin", "onLoad",
                                                "onUnload", "deleteMe",   "release",   "unload"};
constexpr const char* kStatusNames[] = {"not run", "passed", "failed", "crashed", "timed out"};
constexpr const char* kOutcomeNames[] = {"passed", "misbehaved", "unusable"};
constexpr const char* kTestStatusNames[] = {"passed", "failed", "crashed", "timed out", "skipped"};

TestStatus testStatusFromString(const std::string& name) {
    for (std::size_t i = 0; i < std::size(kTestStatusNames); ++i) {
        if (name == kTestStatusNames[i]) {
            return static_cast<TestStatus>(i);
        }
    }
    return TestStatus::Failed;
}

nlohmann::ordered_json causeOrNull(const std::string& cause) {
    return cause.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(cause);
}

std::string causeFrom(const nlohmann::ordered_json& json) {
    return json.is_null() ? std::string() : json.get<std::string>();
}

StepStatus statusFromString(const std::string& name) {
    for (std::size_t i = 0; i < std::size(kStatusNames); ++i) {
        if (name == kStatusNames[i]) {
            return static_cast<StepStatus>(i);
        }
    }
    return StepStatus::NotRun;
}
}  // namespace

const char* toString(Step step) noexcept {
    return kStepNames[static_cast<std::size_t>(step)];
}
const char* toString(StepStatus status) noexcept {
    return kStatusNames[static_cast<std::size_t>(status)];
}
const char* toString(Outcome outcome) noexcept {
    return kOutcomeNames[static_cast<std::size_t>(outcome)];
}

const char* toString(TestStatus status) noexcept {
    return kTestStatusNames[static_cast<std::size_t>(status)];
}

std::optional<Step> stepFromString(const std::string& name) noexcept {
    for (std::size_t i = 0; i < kStepCount; ++i) {
        if (name == kStepNames[i]) {
            return static_cast<Step>(i);
        }
    }
    return std::nullopt;
}

void to_json(nlohmann::ordered_json& json, const DescriptorInfo& d) {
    json = {{"sdkLevel", d.sdkLevel},       {"sourcePath", d.sourcePath},
            {"classLabel", d.classLabel},   {"displayName", d.displayName},
            {"versionText", d.versionText}, {"kindCode", d.kindCode}};
}

void from_json(const nlohmann::ordered_json& json, DescriptorInfo& d) {
    json.at("sdkLevel").get_to(d.sdkLevel);
    json.at("sourcePath").get_to(d.sourcePath);
    json.at("classLabel").get_to(d.classLabel);
    json.at("displayName").get_to(d.displayName);
    json.at("versionText").get_to(d.versionText);
    json.at("kindCode").get_to(d.kindCode);
}

void to_json(nlohmann::ordered_json& json, const Report& report) {
    nlohmann::ordered_json steps = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < kStepCount; ++i) {
        steps[kStepNames[i]] = kStatusNames[static_cast<std::size_t>(report.steps[i])];
    }
    nlohmann::ordered_json changes = nlohmann::ordered_json::array();
    for (const auto& change : report.changes) {
        changes.push_back({{"name", change.name}, {"old", change.before}, {"new", change.after}});
    }
    nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
    for (const auto& warning : report.warnings) {
        warnings.push_back({{"check", warning.check}, {"text", warning.text}});
    }
    nlohmann::ordered_json tests = nlohmann::ordered_json::array();
    for (const auto& test : report.tests) {
        tests.push_back({{"name", test.name},
                         {"status", toString(test.status)},
                         {"cause", causeOrNull(test.cause)}});
    }
    json = {{"module", report.module},
            {"tests", tests},
            {"descriptor", nullptr},
            {"warnings", warnings},
            {"changes", changes},
            {"steps", steps},
            {"cycles", {{"requested", report.cyclesRequested}, {"passed", report.cyclesPassed}}},
            {"released", report.released},
            {"unloaded", report.unloaded},
            {"peakResidentKiB", report.peakResidentKiB},
            {"result", toString(report.outcome)},
            {"exitCode", static_cast<int>(report.outcome)},
            {"cause", causeOrNull(report.cause)}};
    if (report.descriptor) {
        json["descriptor"] = *report.descriptor;
    }
}

void from_json(const nlohmann::ordered_json& json, Report& report) {
    json.at("module").get_to(report.module);
    for (const auto& test : json.at("tests")) {
        report.tests.push_back(
            TestResult{test.at("name").get<std::string>(),
                       testStatusFromString(test.at("status").get<std::string>()),
                       causeFrom(test.at("cause"))});
    }
    if (!json.at("descriptor").is_null()) {
        report.descriptor = json.at("descriptor").get<DescriptorInfo>();
    }
    for (const auto& warning : json.at("warnings")) {
        report.warnings.push_back(
            Warning{warning.at("check").get<std::string>(), warning.at("text").get<std::string>()});
    }
    for (const auto& change : json.at("changes")) {
        report.changes.push_back(Change{change.at("name").get<std::string>(),
                                        change.at("old").get<std::string>(),
                                        change.at("new").get<std::string>()});
    }
    for (std::size_t i = 0; i < kStepCount; ++i) {
        report.steps[i] = statusFromString(json.at("steps").value(kStepNames[i], "not run"));
    }
    json.at("cycles").at("requested").get_to(report.cyclesRequested);
    json.at("cycles").at("passed").get_to(report.cyclesPassed);
    json.at("released").get_to(report.released);
    json.at("unloaded").get_to(report.unloaded);
    json.at("peakResidentKiB").get_to(report.peakResidentKiB);
    report.outcome = static_cast<Outcome>(json.at("exitCode").get<int>());
    report.cause = causeFrom(json.at("cause"));
}

}  // namespace host
