#include "crash_watch.h"

#include <cstring>
#include <forward_list>

#include "process/process.h"
#include "step_under_way.h"
#include "text_escape.h"

namespace host {

namespace {

// Made before any crash, and never destroyed: a crash may come at exit.
const std::string* watchedModule = nullptr;
const std::string* watchedSequence = nullptr;  // "--sequence ..."
std::vector<std::string>* sequenceOperations = nullptr;

// Appends to a line of fixed room, as a crash may: no allocation.
class Line {
public:
    Line(char* bytes, std::size_t room) : bytes_(bytes), room_(room) {}
    Line& operator<<(const char* text) {
        for (; *text != '\0' && size_ < room_; ++text) {
            bytes_[size_++] = *text;
        }
        return *this;
    }
    Line& operator<<(int number) {
        char digits[16];
        int count = 0;
        unsigned value = number < 0 ? 0u : static_cast<unsigned>(number);
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 && count < 15);
        while (count > 0 && size_ < room_) {
            bytes_[size_++] = digits[--count];
        }
        return *this;
    }
    std::size_t size() const { return size_; }

private:
    char* bytes_;
    std::size_t room_;
    std::size_t size_ = 0;
};

std::size_t crashLine(const char* crash, char* bytes, std::size_t room) noexcept {
    Line line(bytes, room);
    line << "plugin-host: " << watchedModule->c_str() << ": ";
    const PluginPlace& place = pluginPlace();
    if (!place.known) {
        line << "crashed with " << crash << " before any step of the plugin's";
        return line.size();
    }
    line << place.test << ": ";
    if (std::strcmp(place.counted, "operation") == 0 && watchedSequence != nullptr) {
        // Operation p is recorded under p + 1, the first load under 1.
        const int position = place.number - 1;
        const int size = static_cast<int>(sequenceOperations->size());
        line << watchedSequence->c_str() << ": ";
        if (position >= 1 && position <= size) {
            line << "operation " << position << " of " << size << ": "
                 << (*sequenceOperations)[static_cast<std::size_t>(position - 1)].c_str()
                 << " crashed with " << crash;
            return line.size();
        }
        line << (position < 1 ? "the first load"
                              : "the end, as the host let go of what it still held")
             << ": crashed with " << crash << (place.during ? " in " : " after ")
             << toString(place.step);
        return line.size();
    }
    line << "crashed with " << crash << (place.during ? " in " : " after ") << toString(place.step)
         << " (" << place.counted << " " << place.number << ")";
    return line.size();
}

}  // namespace

void watchSequence(const std::string& sequence, const std::vector<std::string>& operations) {
    if (watchedSequence == nullptr) {
        watchedSequence = new std::string;
        sequenceOperations = new std::vector<std::string>;
    }
    *const_cast<std::string*>(watchedSequence) = "--sequence " + escapedText(sequence);
    *sequenceOperations = operations;
}

void watchPluginCrashes(const std::string& module) {
    // The one named before is never freed, a crash may be reading it; each
    // is kept where a leak check still finds it (modules run one after another).
    static auto* const named = new std::forward_list<std::string>;
    if (watchedModule == nullptr || *watchedModule != escapedText(module)) {
        named->push_front(escapedText(module));
        watchedModule = &named->front();
    }
    process::announceCrashes(crashLine);
}

}  // namespace host
