// The environment variables and the working directory: what the host and
// every process it starts see of their surroundings.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "guards/kinds.h"
#include "process/process.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <stdlib.h>
#include <windows.h>

#include <cwchar>
#else
extern char** environ;
#endif

namespace host::guards {

namespace {

#if defined(_WIN32)
using Char = wchar_t;
#else
using Char = char;
#endif
using Text = std::basic_string<Char>;

// Each entry as it stands, and where: an entry the plugin put in place
// itself (putenv) may live in the module.
struct Entry {
    Text text;
    const Char* address;
};
#if defined(_WIN32)
// The system's block, which SetEnvironmentVariable changes and child
// processes get; a copy, so nothing in it can point into the module.
std::vector<Entry> current() {
    std::vector<Entry> entries;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; entry != nullptr && *entry != 0;
         entry += std::wcslen(entry) + 1) {
        entries.push_back(Entry{entry, nullptr});
    }
    FreeEnvironmentStringsW(block);
    return entries;
}
#else
std::vector<Entry> current() {
    std::vector<Entry> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        entries.push_back(Entry{*entry, *entry});
    }
    return entries;
}
#endif

Text nameOf(const Text& entry) {
    return entry.substr(0, entry.find(Char('='), entry.empty() ? 0 : 1));
}

std::string narrow(const Text& text) {
#if defined(_WIN32)
    return process::pathToUtf8(std::filesystem::path(text));
#else
    return text;
#endif
}

void set(const Text& name, const Text* value) {
#if defined(_WIN32)
    SetEnvironmentVariableW(name.c_str(), value != nullptr ? value->c_str() : nullptr);
#else
    if (value != nullptr) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
#endif
}

// Each variable's value by its name.
std::map<Text, Text> valuesOf(const std::vector<Entry>& entries) {
    std::map<Text, Text> values;
    for (const auto& entry : entries) {
        const Text name = nameOf(entry.text);
        values[name] = entry.text.substr(std::min(name.size() + 1, entry.text.size()));
    }
    return values;
}

class EnvironmentGuard final : public StateGuard {
public:
    void record() override {
        seen_ = current();
        host_ = valuesOf(seen_);
    }

    std::vector<Leftover> look(const CodeMap& where, PutBack putBack) override {
        // Unchanged, and either nothing to put back or nothing left: a variable
        // an earlier look left in place is looked at again, its module may be going.
        if (unchanged() && (putBack == PutBack::Nothing || valuesOf(seen_) == host_)) {
            return {};
        }
        const std::vector<Entry> now = current();
        const std::map<Text, Text> seen = valuesOf(seen_);
        const std::map<Text, Text> values = valuesOf(now);
        std::vector<std::string> inModule;
        std::vector<std::string> changed;
        // A variable changed since the last look, unless it is as the host had it.
        const auto differs = [](const std::map<Text, Text>& in, const Text& name,
                                const Text* value) {
            const auto found = in.find(name);
            return found == in.end() ? value != nullptr
                                     : value == nullptr || *value != found->second;
        };
        for (const auto& [name, value] : values) {
            if (differs(seen, name, &value) && differs(host_, name, &value)) {
                changed.push_back(narrow(name));
            }
        }
        for (const auto& [name, value] : seen) {
            if (values.count(name) == 0 && differs(host_, name, nullptr)) {
                changed.push_back(narrow(name));
            }
        }
        for (const auto& entry : now) {
            if (where.inModule(entry.address)) {
                inModule.push_back(narrow(nameOf(entry.text)));
            }
        }
        if (putBack == PutBack::Everything || (putBack == PutBack::Failures && !inModule.empty())) {
            putHostsBack(now, where);
        }
        seen_ = current();
        std::vector<Leftover> leftovers;
        if (!inModule.empty()) {
            leftovers.push_back({Leftover::Severity::Failure,
                                 "left the environment variable" +
                                     std::string(inModule.size() == 1 ? " " : "s ") +
                                     joinNames(inModule) +
                                     " pointing into the module, which is gone after unload"});
        } else if (!changed.empty()) {
            leftovers.push_back(
                {Leftover::Severity::Warning, "changed the environment variable" +
                                                  std::string(changed.size() == 1 ? " " : "s ") +
                                                  joinNames(changed)});
        }
        return leftovers;
    }

private:
    // Every variable as the host had it, each entry in the host's memory.
    void putHostsBack(const std::vector<Entry>& now, const CodeMap& where) {
        for (const auto& entry : now) {
            const Text name = nameOf(entry.text);
            const auto host = host_.find(name);
            if (host == host_.end()) {
                set(name, nullptr);
            } else if (name + Char('=') + host->second != entry.text ||
                       where.inModule(entry.address)) {
                set(name, &host->second);
            }
        }
        const std::map<Text, Text> values = valuesOf(now);
        for (const auto& [name, value] : host_) {
            if (values.count(name) == 0) {
                set(name, &value);
            }
        }
    }

    // The same entries at the same addresses as the last look saw, read
    // without copying: this runs at every unload.
    bool unchanged() const {
#if defined(_WIN32)
        const auto now = current();
        if (now.size() != seen_.size()) {
            return false;
        }
        for (std::size_t i = 0; i < now.size(); ++i) {
            if (now[i].text != seen_[i].text) {
                return false;
            }
        }
        return true;
#else
        std::size_t i = 0;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry, ++i) {
            if (i >= seen_.size() || *entry != seen_[i].address || *entry != seen_[i].text) {
                return false;
            }
        }
        return i == seen_.size();
#endif
    }

    std::map<Text, Text> host_;
    std::vector<Entry> seen_;
};

class WorkingDirectoryGuard final : public ValueGuard<std::filesystem::path> {
    // Empty when the folder no longer exists.
    std::filesystem::path read() override {
        std::error_code error;
        auto now = std::filesystem::current_path(error);
        return error ? std::filesystem::path() : now;
    }
    void write(const std::filesystem::path& folder) override {
        std::error_code error;
        std::filesystem::current_path(folder, error);
    }
    Leftover judge(const std::filesystem::path& now, const CodeMap&) override {
        return {Leftover::Severity::Warning,
                "changed the working directory to " +
                    (now.empty() ? std::string("one that no longer exists")
                                 : "\"" + process::pathToUtf8(now) + "\"")};
    }
    bool costly() const override { return true; }
};

}  // namespace

std::unique_ptr<StateGuard> environmentGuard() {
    return std::make_unique<EnvironmentGuard>();
}

std::unique_ptr<StateGuard> workingDirectoryGuard() {
    return std::make_unique<WorkingDirectoryGuard>();
}

}  // namespace host::guards
