// Any bytes as a report: refused as JSON, or read strictly, written back and
// read again to the same report.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "report_json.h"

namespace {

template <typename Report>
void roundTrip(const nlohmann::ordered_json& json) {
    Report report;
    try {
        report = json.get<Report>();
    } catch (const nlohmann::ordered_json::exception&) {
        return;
    }
    const nlohmann::ordered_json written = report;
    const nlohmann::ordered_json again = written.get<Report>();
    if (written.dump() != again.dump()) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto json = nlohmann::ordered_json::parse(data, data + size, nullptr, false);
    if (!json.is_discarded()) {
        roundTrip<host::TestReport>(json);
        roundTrip<host::RunReport>(json);
    }
    return 0;
}
