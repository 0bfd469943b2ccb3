#include "progress_log.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "report_json.h"

namespace host {

namespace {
constexpr const char* kKinds[] = {"step ",   "descriptor ", "report ", "provoke ",
                                  "module ", "left ",       "change "};
}  // namespace

ProgressWriter::ProgressWriter(const std::filesystem::path& path, const RecordSeal& seal)
    : out_(path), seal_(seal) {}

bool ProgressWriter::retake(bool look) {
    const auto state = out_.state(look);
    if (state != process::AppendFile::State::Intact) {
        taken_ = state;
        out_.reopen();
    }
    return taken_.has_value();
}

// Each record starts on a fresh line: whatever a plugin wrote without a line
// end stays on a line of its own.
void ProgressWriter::write(const char* kind, const std::string& rest) {
    const auto at = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    const std::string record = std::string(kind) + ' ' + std::to_string(at.count()) + ' ' + rest;
    const std::string line = '\n' + seal_.seal(record, ++records_) + '\n';
    if (!out_.append(line) && retake()) {
        out_.append(line);
    }
}

void ProgressWriter::stepStarted(int cycle, Step step) {
    write("step", std::to_string(cycle) + ' ' + toString(step));
}

void ProgressWriter::descriptorRead(const DescriptorInfo& descriptor) {
    write("descriptor", nlohmann::ordered_json(descriptor).dump());
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

void ProgressWriter::moduleStarted(std::size_t module) {
    if (module_ != module) {
        module_ = module;
        write("module", std::to_string(module));
    }
}

void ProgressWriter::leftBehind(const LeftBehind& left) {
    write("left", nlohmann::ordered_json(left).dump());
}

void ProgressWriter::variableChanged(std::size_t module, const Change& change) {
    write("change", std::to_string(module) + ' ' + nlohmann::ordered_json(change).dump());
}

void ProgressWriter::finished(const TestReport& report) {
    write("report", nlohmann::ordered_json(report).dump());
}

void ProgressWriter::provoking(std::string_view what) {
    write("provoke", std::string(what));
}

namespace {
// "CYCLE NAME": a cycle above 0 and the name of a step, nothing more.
std::optional<std::pair<int, Step>> stepRecord(std::string_view fields) {
    const auto space = fields.find(' ');
    int cycle = 0;
    const char* const cycleEnd = fields.data() + std::min(space, fields.size());
    const auto [end, error] = std::from_chars(fields.data(), cycleEnd, cycle);
    if (space == std::string_view::npos || error != std::errc() || end != cycleEnd || cycle <= 0) {
        return std::nullopt;
    }
    const auto step = stepFromString(std::string(fields.substr(space + 1)));
    if (!step) {
        return std::nullopt;
    }
    return std::pair{cycle, *step};
}

// "AT REST": a time on the steady clock, in nanoseconds, and what follows.
std::optional<std::pair<std::chrono::steady_clock::time_point, std::string_view>> timed(
    std::string_view fields) {
    const auto space = fields.find(' ');
    long long nanoseconds = 0;
    const char* const end = fields.data() + std::min(space, fields.size());
    const auto [stop, error] = std::from_chars(fields.data(), end, nanoseconds);
    if (space == std::string_view::npos || error != std::errc() || stop != end || nanoseconds < 0) {
        return std::nullopt;
    }
    const std::chrono::steady_clock::time_point at(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(nanoseconds)));
    return std::pair{at, fields.substr(space + 1)};
}
}  // namespace

bool ProgressReader::record(std::string_view kind, std::string_view rest) {
    try {
        if (kind == "step") {
            const auto step = stepRecord(rest);
            if (!step) {
                return false;
            }
            if (step->first != progress_.cycle) {
                progress_.cycle = step->first;
                progress_.steps.clear();
            }
            progress_.steps.push_back(step->second);
            return true;
        }
        if (kind == "descriptor") {
            progress_.descriptor = nlohmann::ordered_json::parse(rest).get<DescriptorInfo>();
            return true;
        }
        if (kind == "report") {
            progress_.finalReport = nlohmann::ordered_json::parse(rest).get<TestReport>();
            progress_.reports.push_back(*progress_.finalReport);
            return true;
        }
        if (kind == "module") {
            std::size_t module = 0;
            const auto [end, error] =
                std::from_chars(rest.data(), rest.data() + rest.size(), module);
            if (error != std::errc() || end != rest.data() + rest.size()) {
                return false;
            }
            progress_.module = module;
            return true;
        }
        if (kind == "change") {
            const auto space = rest.find(' ');
            std::size_t module = 0;
            const auto [end, error] =
                std::from_chars(rest.data(), rest.data() + rest.size(), module);
            if (space == std::string_view::npos || error != std::errc() ||
                end != rest.data() + space) {
                return false;
            }
            progress_.changes.emplace_back(
                module, nlohmann::ordered_json::parse(rest.substr(space + 1)).get<Change>());
            return true;
        }
        if (kind == "left") {
            progress_.left.push_back(nlohmann::ordered_json::parse(rest).get<LeftBehind>());
            return true;
        }
        if (kind == "provoke" && progress_.finalReport) {
            progress_.provoking = std::string(rest);
            return true;
        }
    } catch (const nlohmann::ordered_json::exception&) {
    }
    return false;
}

void ProgressReader::line(std::string_view line) {
    if (line.empty()) {
        return;
    }
    const auto opened = seal_.open(line, lastRecord_);
    if (!opened) {
        // The line end may be the start of plugin-host's next record: not counted.
        garbage(line.size());
        return;
    }
    const std::string_view text = *opened;
    const auto space = text.find(' ');
    const std::string_view kind = text.substr(0, space);
    const auto stamped =
        space == std::string_view::npos ? std::nullopt : timed(text.substr(space + 1));
    if (!stamped) {
        garbage(line.size());  // untimed: no record of plugin-host's
        return;
    }
    if (record(kind, stamped->second)) {
        ++progress_.records;
        progress_.lastRecordAt = stamped->first;
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
    while (!bytes.empty() && progress_.garbageBytes <= kGarbageLimit) {
        const auto end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (end != std::string_view::npos && partial_.empty()) {
            line(piece);  // a whole line, as it mostly comes
        } else {
            // Kept up to one byte past the longest line; the rest is garbage.
            const std::size_t room = kLineLimit + 1 - std::min(partial_.size(), kLineLimit + 1);
            partial_.append(piece.substr(0, room));
            if (piece.size() > room) {
                garbage(piece.size() - room);
            }
            if (end == std::string_view::npos) {
                return;
            }
            line(partial_);
            partial_.clear();
        }
        bytes.remove_prefix(end + 1);
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
