#include "progress_line.h"

#include <algorithm>

namespace host {

std::string withThousands(unsigned long long value) {
    std::string digits = std::to_string(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, 1, ',');
    }
    return digits;
}

std::string progressText(const RunProgress::Snapshot& snapshot, std::size_t width) {
    const std::string done = std::to_string(snapshot.testsDone);
    const std::string tests = std::to_string(snapshot.tests);
    const std::string cycle = withThousands(static_cast<unsigned>(snapshot.cycle));
    const std::string cycles = withThousands(static_cast<unsigned>(snapshot.cycles));
    const bool counting = snapshot.cycle > 0;
    const std::string unit = snapshot.unit;
    // A run of several modules counts them first.
    const bool many = snapshot.modules > 1;
    const std::string modulesDone = std::to_string(snapshot.modulesDone);
    const std::string modules = std::to_string(snapshot.modules);
    const std::string ofModules = many ? modulesDone + " of " + modules + " modules, " : "";
    const std::string shortModules = many ? modulesDone + "/" + modules + " modules, " : "";
    // The numbers are what a narrow terminal must keep: the words go first.
    const std::string forms[] = {
        "plugin-host: " + ofModules + done + " of " + tests + " tests done" +
            (counting ? "; " + snapshot.cycleTest + ": " + unit + " " + cycle + " of " + cycles
                      : ""),
        "plugin-host: " + shortModules + done + "/" + tests + " tests" +
            (counting ? "; " + snapshot.cycleTest + " " + unit + " " + cycle + "/" + cycles : ""),
        shortModules + done + "/" + tests + " tests" +
            (counting ? std::string("; ") + unit + " " + cycle + "/" + cycles : ""),
    };
    for (const std::string& form : forms) {
        if (width == 0 || form.size() <= width) {
            return form;
        }
    }
    return forms[2].substr(0, width);
}

ProgressLine::ProgressLine(const RunProgress& progress, std::ostream& out, int columns,
                           Timing timing)
    : progress_(progress),
      out_(out),
      columns_(static_cast<std::size_t>(std::max(columns, 0))),
      timing_(timing),
      thread_([this] { run(); }) {}

ProgressLine::~ProgressLine() {
    stop();
}

void ProgressLine::run() {
    // Short sleeps, not a timed wait on a condition variable: under wine's C++
    // runtime, which runs the Windows build's tests, such a wait neither
    // timed out nor woke as asked.
    constexpr auto kTick = std::chrono::milliseconds(5);
    auto next = std::chrono::steady_clock::now() + timing_.delay;
    while (!stopping_.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next) {
            // The last column stays free: a terminal that wraps there would
            // leave the line behind when it is rewritten.
            draw(progressText(progress_.snapshot(), columns_ > 1 ? columns_ - 1 : 0));
            next = now + timing_.interval;
        }
        std::this_thread::sleep_for(kTick);
    }
}

void ProgressLine::draw(std::string text) {
    if (text == drawn_) {
        return;
    }
    const std::size_t pad = width_ > text.size() ? width_ - text.size() : 0;
    out_ << '\r' << text << std::string(pad, ' ') << std::flush;
    width_ = std::max(width_, text.size());
    drawn_ = std::move(text);
}

void ProgressLine::stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (width_ > 0) {
        out_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
        width_ = 0;
        drawn_.clear();
    }
}

}  // namespace host
