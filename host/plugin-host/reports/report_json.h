#pragma once

#include <nlohmann/json_fwd.hpp>

#include <vector>

#include "run_report.h"
#include "test_report.h"

// The reports as JSON: the run report is what --json prints; a test report is what an
// isolated child hands its parent, without what only the parent sees (the
// plugin's output, processes left behind). Reading throws
// nlohmann::ordered_json::exception on anything missing or unknown.
namespace host {

void to_json(nlohmann::ordered_json& json, const DescriptorInfo& descriptor);
void from_json(const nlohmann::ordered_json& json, DescriptorInfo& descriptor);
void to_json(nlohmann::ordered_json& json, const TestReport& report);
void from_json(const nlohmann::ordered_json& json, TestReport& report);
void to_json(nlohmann::ordered_json& json, const Change& change);
void from_json(const nlohmann::ordered_json& json, Change& change);
void to_json(nlohmann::ordered_json& json, const LeftBehind& left);
void from_json(const nlohmann::ordered_json& json, LeftBehind& left);
void to_json(nlohmann::ordered_json& json, const RunReport& report);
void from_json(const nlohmann::ordered_json& json, RunReport& report);

// What --json prints for a run of two or more modules: each module's report
// as it is alone, in order, and how many passed and failed, with the run's
// exit code.
nlohmann::ordered_json modulesJson(const std::vector<RunReport>& reports);

}  // namespace host
