#include "progress_log.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "report_json.h"

namespace host {

namespace {
constexpr const char* kKinds[] = {"step ", "descriptor ", "report "};
}  // namespace

ProgressWriter::ProgressWriter(const std::filesystem::path& path, const RecordSeal& seal)
    : out_(path), seal_(seal) {}

bool ProgressWriter::retake(bool look) {
    const auto state = look ? out_.state() : process::AppendFile::State::Intact;
    if (state != process::AppendFile::State::Intact) {
        taken_ = state;
        out_.reopen();
    }
    return taken_.has_value();
}

// Each record starts on a fresh line: whatever a plugin wrote without a line
// end stays on a line of its own.
void ProgressWriter::write(const std::string& record) {
    const std::string line = '\n' + seal_.seal(record, ++records_) + '\n';
    if (!out_.append(line) && retake()) {
        out_.append(line);
    }
}

void ProgressWriter::stepStarted(int cycle, Step step) {
    write("step " + std::to_string(cycle) + ' ' + toString(step));
}

void ProgressWriter::descriptorRead(const DescriptorInfo& descriptor) {
    write("descriptor " + nlohmann::ordered_json(descriptor).dump());
}

std::optional<std::string> ProgressWriter::takenDuring(Step step, bool look) {
    if (!retake(look)) {
        return std::nullopt;
    }
    const bool closed = *taken_ == process::AppendFile::State::Closed;
    taken_.reset();
    return std::string(closed ? "closed plugin-host's report file"
                              : "put another file in the place of plugin-host's report file") +
           " during " + toString(step);
}

void ProgressWriter::finished(const TestReport& report) {
    write("report " + nlohmann::ordered_json(report).dump());
}

void ProgressReader::line(const std::string& line) {
    if (line.empty()) {
        return;
    }
    const auto opened = seal_.open(line, lastRecord_);
    if (!opened) {
        // The line end may be the start of plugin-host's next record: not counted.
        garbage(line.size());
        return;
    }
    const std::string text(*opened);
    const auto space = text.find(' ');
    const std::string kind = text.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : text.substr(space + 1);
    bool record = false;
    try {
        if (kind == "step") {
            std::istringstream fields(rest);
            int cycle = 0;
            std::string name;
            std::string extra;
            fields >> cycle >> name;
            const auto step = stepFromString(name);
            if (fields && step && !(fields >> extra) && cycle > 0) {
                if (cycle != progress_.cycle) {
                    progress_.cycle = cycle;
                    progress_.steps.clear();
                }
                progress_.steps.push_back(*step);
                record = true;
            }
        } else if (kind == "descriptor") {
            progress_.descriptor = nlohmann::ordered_json::parse(rest).get<DescriptorInfo>();
            record = true;
        } else if (kind == "report") {
            progress_.finalReport = nlohmann::ordered_json::parse(rest).get<TestReport>();
            record = true;
        }
    } catch (const nlohmann::ordered_json::exception&) {
    }
    if (record) {
        ++progress_.records;
        return;
    }
    garbage(line.size());
}

void ProgressReader::garbage(std::uintmax_t bytes) {
    if (progress_.garbageBytes == 0 && !progress_.steps.empty()) {
        progress_.garbageDuring = progress_.steps.back();
    }
    progress_.garbageBytes += bytes;
}

void ProgressReader::take(std::string_view bytes) {
    for (const char c : bytes) {
        if (progress_.garbageBytes > kGarbageLimit) {
            return;
        }
        if (c == '\n') {
            line(partial_);
            partial_.clear();
        } else if (partial_.size() <= kLineLimit) {
            partial_ += c;
        } else {
            garbage(1);
        }
    }
}

std::size_t ProgressReader::poll() {
    if (file_ == nullptr) {
        return progress_.records;
    }
    char buffer[65536];
    while (progress_.garbageBytes <= kGarbageLimit) {
        const std::size_t got = file_->read(offset_, buffer, sizeof buffer);
        if (got == 0) {
            break;
        }
        offset_ += got;
        take(std::string_view(buffer, got));
    }
    return progress_.records;
}

const ChildProgress& ProgressReader::finish() {
    poll();
    return end();
}

const ChildProgress& ProgressReader::end() {
    if (!partial_.empty()) {
        // A record that a crash cut short is no one's garbage.
        bool cut = false;
        for (const char* kind : kKinds) {
            cut = cut || partial_.rfind(kind, 0) == 0;
        }
        if (!cut) {
            line(partial_);
        }
        partial_.clear();
    }
    return progress_;
}

ChildProgress readProgress(const process::TemporaryFile& file, const RecordSeal& seal) {
    ProgressReader reader(&file, seal);
    return reader.finish();
}

ChildProgress parseProgress(std::string_view log, const RecordSeal& seal) {
    ProgressReader reader(nullptr, seal);
    reader.take(log);
    return reader.end();
}

}  // namespace host
