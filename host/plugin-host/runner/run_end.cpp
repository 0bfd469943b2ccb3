#include "run_end.h"

#include "guards/kinds.h"
#include "process/process.h"

namespace host {

namespace {

// What plugin-host's own process sees of an address: no module is loaded
// in it.
class NoModule final : public guards::CodeMap {
public:
    bool inModule(const void*) const override { return false; }
    bool inLoadedImage(const void*) const override { return true; }
};

}  // namespace

RunEnd::RunEnd(std::size_t modules)
    : terminal_(guards::terminalGuard()), waiting_(modules > 0 ? modules : 1) {
    terminal_->record();
}

const RunEnd::Found& RunEnd::arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--waiting_ == 0) {
        found_.strays = process::endStrays();
        for (const auto& left : terminal_->look(NoModule(), guards::PutBack::Everything)) {
            found_.terminal.push_back(left.text);
        }
        looked_ = true;
        done_.notify_all();
    }
    done_.wait(lock, [this] { return looked_; });
    return found_;
}

}  // namespace host
