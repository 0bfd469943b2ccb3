#include "progress_log.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "report_json.h"

namespace host {

ProgressWriter::ProgressWriter(const std::filesystem::path& path) : out_(path, std::ios::trunc) {}

void ProgressWriter::stepStarted(int cycle, Step step) {
    out_ << "step " << cycle << ' ' << toString(step) << '\n' << std::flush;
}

void ProgressWriter::descriptorRead(const DescriptorInfo& descriptor) {
    out_ << "descriptor " << nlohmann::ordered_json(descriptor).dump() << '\n' << std::flush;
}

void ProgressWriter::finished(const TestReport& report) {
    out_ << "report " << nlohmann::ordered_json(report).dump() << '\n' << std::flush;
}

ChildProgress readProgress(const std::filesystem::path& path) {
    ChildProgress progress;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        const std::string kind = line.substr(0, space);
        const std::string rest =
            space == std::string::npos ? std::string() : line.substr(space + 1);
        try {
            if (kind == "step") {
                std::istringstream fields(rest);
                int cycle = 0;
                std::string name;
                fields >> cycle >> name;
                const auto step = stepFromString(name);
                if (!fields || !step) {
                    continue;
                }
                if (cycle != progress.cycle) {
                    progress.cycle = cycle;
                    progress.steps.clear();
                }
                progress.steps.push_back(*step);
            } else if (kind == "descriptor") {
                progress.descriptor = nlohmann::ordered_json::parse(rest).get<DescriptorInfo>();
            } else if (kind == "report") {
                progress.finalReport = nlohmann::ordered_json::parse(rest).get<TestReport>();
            }
        } catch (const nlohmann::ordered_json::exception&) {
            // Cut short by a crash: what came before still stands.
        }
    }
    return progress;
}

}  // namespace host
