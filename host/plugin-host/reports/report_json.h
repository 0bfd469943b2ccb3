#pragma once

#include <nlohmann/json_fwd.hpp>

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
void to_json(nlohmann::ordered_json& json, const RunReport& report);
void from_json(const nlohmann::ordered_json& json, RunReport& report);

}  // namespace host
