#include "crash_watch.h"

#include <cstring>

#include "process/process.h"
#include "step_under_way.h"
#include "text_escape.h"

namespace host {

namespace {

// Made before any crash, and never destroyed: a crash may come at exit.
const std::string* watchedModule = nullptr;

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
    line << place.test << ": crashed with " << crash << (place.during ? " in " : " after ")
         << toString(place.step) << " (" << place.counted << " " << place.number << ")";
    return line.size();
}

}  // namespace

void watchPluginCrashes(const std::string& module) {
    if (watchedModule == nullptr) {
        watchedModule = new std::string(escapedText(module));
    }
    process::announceCrashes(crashLine);
}

}  // namespace host
