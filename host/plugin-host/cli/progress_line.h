#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <thread>

#include "run_progress.h"

namespace host {

// "52,310": what a count reads as on the line, whatever the locale.
std::string withThousands(unsigned long long value);

// The line's words for how far a run has come, e.g.
// "plugin-host: 3 of 7 tests done; lifecycle: cycle 52,310 of 100,000";
// within `width` columns (0: any), fewer words and the same numbers,
// "3/7 tests; cycle 52,310/100,000", and only then cut.
std::string progressText(const RunProgress::Snapshot& snapshot, std::size_t width = 0);

// What a terminal shows of a run that takes a while: one line, drawn on `out`
// from a thread of its own once the run has lasted `delay`, rewritten in place
// at most every `interval` when it has changed, and erased by stop(), before
// anything else is printed. Only for a terminal: what goes to a file or a
// pipe must hold the reports alone.
class ProgressLine {
public:
    struct Timing {
        std::chrono::milliseconds delay{1000};
        std::chrono::milliseconds interval{250};
    };

    // `columns`: the terminal's width, or 0 when unknown; a line longer than
    // the terminal would wrap, and could then not be rewritten in place.
    ProgressLine(const RunProgress& progress, std::ostream& out, int columns, Timing timing);
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine();

    // Erases the line and draws no more.
    void stop();

private:
    void run();
    void draw(std::string text);

    const RunProgress& progress_;
    std::ostream& out_;
    const std::size_t columns_;
    const Timing timing_;
    std::atomic<bool> stopping_{false};
    std::string drawn_;      // the text on the line now
    std::size_t width_ = 0;  // the most columns the line has covered
    std::thread thread_;     // last: it starts once the rest is ready
};

}  // namespace host
