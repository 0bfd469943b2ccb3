#include "report_json.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "text_escape.h"

namespace host {

namespace {

using Json = nlohmann::ordered_json;

[[noreturn]] void unknown(const char* what, const std::string& name) {
    throw Json::other_error::create(501, std::string("unknown ") + what + " \"" + name + "\"",
                                    nullptr);
}

// A whole number that fits `Int`: a fraction, or a number out of its range,
// is nothing this program wrote, and converting one would be undefined.
template <typename Int>
Int whole(const Json& json) {
    if (!json.is_number()) {
        return json.get<Int>();  // the reader's own type error
    }
    using Limits = std::numeric_limits<Int>;
    if (json.is_number_unsigned()) {
        const auto value = json.get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(Limits::max())) {
            return static_cast<Int>(value);
        }
    } else if (json.is_number_integer()) {
        const auto value = json.get<std::int64_t>();
        if (value >= static_cast<std::int64_t>(Limits::min()) &&
            (value < 0 ||
             static_cast<std::uint64_t>(value) <= static_cast<std::uint64_t>(Limits::max()))) {
            return static_cast<Int>(value);
        }
    }
    throw Json::out_of_range::create(406, "not a whole number in range: " + json.dump(), nullptr);
}

// A duration in seconds, to the millisecond: what a CI server shows.
double toMilliseconds(double seconds) {
    return std::round(seconds * 1000) / 1000;
}

double secondsFrom(const Json& json) {
    const auto seconds = json.get<double>();
    // Beyond what milliseconds can be counted in, it is nothing this program wrote.
    if (!std::isfinite(seconds) || seconds < 0 ||
        seconds > std::numeric_limits<double>::max() / 1000) {
        throw Json::out_of_range::create(406, "not a duration: " + json.dump(), nullptr);
    }
    return seconds;
}

Json causeOrNull(const std::string& cause) {
    return cause.empty() ? Json(nullptr) : Json(cause);
}

std::string causeFrom(const Json& json) {
    return json.is_null() ? std::string() : json.get<std::string>();
}

TestStatus testStatusFrom(const Json& json) {
    const auto name = json.get<std::string>();
    const auto status = testStatusFromString(name);
    if (!status) {
        unknown("test status", name);
    }
    return *status;
}

Json stepsToJson(const StepStatuses& steps) {
    Json json = Json::object();
    for (std::size_t i = 0; i < kStepCount; ++i) {
        json[toString(static_cast<Step>(i))] = toString(steps[i]);
    }
    return json;
}

StepStatuses stepsFromJson(const Json& json) {
    StepStatuses steps{};
    for (std::size_t i = 0; i < kStepCount; ++i) {
        const auto name = json.at(toString(static_cast<Step>(i))).get<std::string>();
        const auto status = stepStatusFromString(name);
        if (!status) {
            unknown("step status", name);
        }
        steps[i] = *status;
    }
    return steps;
}

Json changesToJson(const std::vector<Change>& changes) {
    Json json = Json::array();
    for (const auto& change : changes) {
        json.push_back({{"name", change.name}, {"old", change.before}, {"new", change.after}});
    }
    return json;
}

std::vector<Change> changesFromJson(const Json& json) {
    std::vector<Change> changes;
    for (const auto& change : json) {
        changes.push_back(Change{change.at("name").get<std::string>(),
                                 change.at("old").get<std::string>(),
                                 change.at("new").get<std::string>()});
    }
    return changes;
}

Json warningsToJson(const std::vector<Warning>& warnings) {
    Json json = Json::array();
    for (const auto& warning : warnings) {
        json.push_back({{"check", warning.check}, {"text", warning.text}});
    }
    return json;
}

std::vector<Warning> warningsFromJson(const Json& json) {
    std::vector<Warning> warnings;
    for (const auto& warning : json) {
        warnings.push_back(
            Warning{warning.at("check").get<std::string>(), warning.at("text").get<std::string>()});
    }
    return warnings;
}

Json descriptorOrNull(const std::optional<DescriptorInfo>& descriptor) {
    return descriptor ? Json(*descriptor) : Json(nullptr);
}

std::optional<DescriptorInfo> descriptorFrom(const Json& json) {
    if (json.is_null()) {
        return std::nullopt;
    }
    return json.get<DescriptorInfo>();
}

// Every text in a report as valid UTF-8, whatever bytes the plugin handed
// over (see text_escape.h): a report can always be written.
void makeTexts(Json& json) {
    if (json.is_string()) {
        json = utf8WithEscapes(json.get_ref<const std::string&>());
    } else if (json.is_structured()) {
        for (auto& element : json) {
            makeTexts(element);
        }
    }
}

Outcome outcomeFrom(const Json& json) {
    const int code = whole<int>(json);
    if (code < 0 || code > static_cast<int>(Outcome::HostFailure)) {
        unknown("exit code", std::to_string(code));
    }
    return static_cast<Outcome>(code);
}

Json memoryToJson(const std::vector<MemorySample>& samples) {
    Json json = Json::array();
    for (const auto& sample : samples) {
        json.push_back({{"cycle", sample.cycle},
                        {"residentKiB", sample.residentKiB},
                        {"allocatedKiB", sample.allocatedKiB}});
    }
    return json;
}

}  // namespace

void to_json(Json& json, const DescriptorInfo& d) {
    json = {{"sdkLevel", d.sdkLevel},       {"sourcePath", d.sourcePath},
            {"classLabel", d.classLabel},   {"displayName", d.displayName},
            {"versionText", d.versionText}, {"kindCode", d.kindCode}};
    makeTexts(json);
}

void from_json(const Json& json, DescriptorInfo& d) {
    d.sdkLevel = whole<decltype(d.sdkLevel)>(json.at("sdkLevel"));
    json.at("sourcePath").get_to(d.sourcePath);
    json.at("classLabel").get_to(d.classLabel);
    json.at("displayName").get_to(d.displayName);
    json.at("versionText").get_to(d.versionText);
    d.kindCode = whole<decltype(d.kindCode)>(json.at("kindCode"));
}

void to_json(Json& json, const TestReport& report) {
    json = {
        {"name", report.name},
        {"status", toString(report.status)},
        {"cause", causeOrNull(report.cause)},
        {"exitCode", static_cast<int>(report.outcome)},
        {"descriptor", descriptorOrNull(report.descriptor)},
        {"changes", changesToJson(report.changes)},
        {"steps", stepsToJson(report.steps)},
        {"cyclesPassed", report.cyclesPassed},
        {"released", report.released},
        {"unloaded", report.unloaded},
        {"peakResidentKiB", report.peakResidentKiB},
        {"stateChanges", report.stateChanges},
        {"warnings", warningsToJson(report.warnings)},
        {"descriptors", {{"before", report.descriptorsBefore}, {"after", report.descriptorsAfter}}},
        {"memory", memoryToJson(report.memory)}};
    makeTexts(json);
}

void from_json(const Json& json, TestReport& report) {
    json.at("name").get_to(report.name);
    report.status = testStatusFrom(json.at("status"));
    report.cause = causeFrom(json.at("cause"));
    report.outcome = outcomeFrom(json.at("exitCode"));
    report.descriptor = descriptorFrom(json.at("descriptor"));
    report.changes = changesFromJson(json.at("changes"));
    report.steps = stepsFromJson(json.at("steps"));
    report.cyclesPassed = whole<decltype(report.cyclesPassed)>(json.at("cyclesPassed"));
    json.at("released").get_to(report.released);
    json.at("unloaded").get_to(report.unloaded);
    report.peakResidentKiB = whole<decltype(report.peakResidentKiB)>(json.at("peakResidentKiB"));
    json.at("stateChanges").get_to(report.stateChanges);
    report.warnings = warningsFromJson(json.at("warnings"));
    report.descriptorsBefore =
        whole<decltype(report.descriptorsBefore)>(json.at("descriptors").at("before"));
    report.descriptorsAfter =
        whole<decltype(report.descriptorsAfter)>(json.at("descriptors").at("after"));
    for (const auto& sample : json.at("memory")) {
        report.memory.push_back(MemorySample{whole<int>(sample.at("cycle")),
                                             whole<long>(sample.at("residentKiB")),
                                             whole<long>(sample.at("allocatedKiB"))});
    }
}

void to_json(Json& json, const Change& change) {
    json = changesToJson({change}).front();
    makeTexts(json);
}

void from_json(const Json& json, Change& change) {
    change = changesFromJson(Json::array({json})).front();
}

void to_json(Json& json, const LeftBehind& left) {
    json = {{"module", left.module},
            {"step", toString(left.step)},
            {"failure", left.failure},
            {"text", left.text},
            {"cycle", left.cycle}};
    makeTexts(json);
}

void from_json(const Json& json, LeftBehind& left) {
    left.module = whole<std::size_t>(json.at("module"));
    const auto step = stepFromString(json.at("step").get<std::string>());
    if (!step) {
        unknown("step", json.at("step").get<std::string>());
    }
    left.step = *step;
    json.at("failure").get_to(left.failure);
    json.at("text").get_to(left.text);
    left.cycle = whole<int>(json.at("cycle"));
}

void to_json(Json& json, const RunReport& report) {
    const Json warnings = warningsToJson(report.warnings);
    Json tests = Json::array();
    for (const auto& test : report.tests) {
        tests.push_back({{"name", test.name},
                         {"status", toString(test.status)},
                         {"cause", causeOrNull(test.cause)},
                         {"seconds", toMilliseconds(test.seconds)}});
    }
    Json output = Json::array();
    for (const auto& printed : report.pluginOutput) {
        output.push_back({{"test", printed.test},
                          {"stream", printed.stream},
                          {"bytes", printed.bytes},
                          {"firstLine", printed.firstLine}});
    }
    json = {{"module", report.module},
            {"tests", tests},
            {"descriptor", descriptorOrNull(report.descriptor)},
            {"warnings", warnings},
            {"pluginOutput", output},
            {"changes", changesToJson(report.changes)},
            {"steps", stepsToJson(report.steps)},
            {"cycles", {{"requested", report.cyclesRequested}, {"passed", report.cyclesPassed}}},
            {"released", report.released},
            {"unloaded", report.unloaded},
            {"peakResidentKiB", report.peakResidentKiB},
            {"result", toString(report.outcome)},
            {"exitCode", static_cast<int>(report.outcome)},
            {"cause", causeOrNull(report.cause)},
            {"seconds", toMilliseconds(report.seconds)}};
    if (report.togetherChanges) {
        json["togetherChanges"] = changesToJson(*report.togetherChanges);
    }
    if (report.exploration) {
        const Exploration& e = *report.exploration;
        json["explore"] = {{"seed", e.seed},
                           {"sequences", e.sequences},
                           {"ran", e.ran},
                           {"failing", causeOrNull(e.failing)}};
    }
    // What kept the plugin in its tests: a report says what it can be trusted for.
    if (report.containment) {
        const ContainmentRecord& c = *report.containment;
        json["containment"] = {{"inPlace", c.inPlace},
                               {"missing", c.missing},
                               {"why", causeOrNull(c.why)},
                               {"network", c.network},
                               {"writable", c.writable}};
    } else {
        json["containment"] = nullptr;
    }
    makeTexts(json);
}

void from_json(const Json& json, RunReport& report) {
    json.at("module").get_to(report.module);
    report.tests.clear();
    for (const auto& test : json.at("tests")) {
        report.tests.push_back(
            TestResult{test.at("name").get<std::string>(), testStatusFrom(test.at("status")),
                       causeFrom(test.at("cause")), secondsFrom(test.at("seconds"))});
    }
    report.descriptor = descriptorFrom(json.at("descriptor"));
    report.warnings = warningsFromJson(json.at("warnings"));
    report.pluginOutput.clear();
    for (const auto& printed : json.at("pluginOutput")) {
        report.pluginOutput.push_back(PluginOutput{printed.at("test").get<std::string>(),
                                                   printed.at("stream").get<std::string>(),
                                                   whole<std::uintmax_t>(printed.at("bytes")),
                                                   printed.at("firstLine").get<std::string>()});
    }
    report.changes = changesFromJson(json.at("changes"));
    report.steps = stepsFromJson(json.at("steps"));
    report.cyclesRequested =
        whole<decltype(report.cyclesRequested)>(json.at("cycles").at("requested"));
    report.cyclesPassed = whole<decltype(report.cyclesPassed)>(json.at("cycles").at("passed"));
    json.at("released").get_to(report.released);
    json.at("unloaded").get_to(report.unloaded);
    report.peakResidentKiB = whole<decltype(report.peakResidentKiB)>(json.at("peakResidentKiB"));
    report.outcome = outcomeFrom(json.at("exitCode"));
    report.cause = causeFrom(json.at("cause"));
    report.seconds = secondsFrom(json.at("seconds"));
    report.togetherChanges.reset();
    if (json.contains("togetherChanges")) {
        report.togetherChanges = changesFromJson(json.at("togetherChanges"));
    }
    report.exploration.reset();
    if (json.contains("explore")) {
        const Json& e = json.at("explore");
        report.exploration =
            Exploration{whole<std::uint64_t>(e.at("seed")), whole<int>(e.at("sequences")),
                        whole<int>(e.at("ran")), causeFrom(e.at("failing"))};
    }
    report.containment.reset();
    if (const Json& c = json.at("containment"); !c.is_null()) {
        report.containment = ContainmentRecord{c.at("inPlace").get<std::vector<std::string>>(),
                                               c.at("missing").get<std::vector<std::string>>(),
                                               causeFrom(c.at("why")), c.at("network").get<bool>(),
                                               c.at("writable").get<std::vector<std::string>>()};
    }
}

Json modulesJson(const std::vector<RunReport>& reports) {
    Json modules = Json::array();
    int passed = 0;
    for (const auto& report : reports) {
        modules.push_back(report);
        passed += report.outcome == Outcome::Passed ? 1 : 0;
    }
    return Json{{"modules", std::move(modules)},
                {"passed", passed},
                {"failed", static_cast<int>(reports.size()) - passed},
                {"exitCode", static_cast<int>(worstOutcome(reports))}};
}

}  // namespace host
