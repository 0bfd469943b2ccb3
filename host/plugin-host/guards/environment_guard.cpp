// The environment variables and the working directory: what the host and
// every process it starts see of their surroundings.

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

class EnvironmentGuard final : public StateGuard {
public:
    void record() override { saved_ = current(); }

    std::vector<Leftover> restore(const CodeMap& where) override {
        if (unchanged()) {
            return {};
        }
        const std::vector<Entry> now = current();
        std::map<Text, Text> before;
        for (const auto& entry : saved_) {
            before[nameOf(entry.text)] = entry.text.substr(nameOf(entry.text).size() + 1);
        }
        std::vector<std::string> inModule;
        std::vector<std::string> changed;
        std::map<Text, bool> seen;
        for (const auto& entry : now) {
            const Text name = nameOf(entry.text);
            seen[name] = true;
            if (where.inModule(entry.address)) {
                inModule.push_back(narrow(name));
            }
            const auto old = before.find(name);
            if (old == before.end() || name + Char('=') + old->second != entry.text) {
                changed.push_back(narrow(name));
                set(name, old != before.end() ? &old->second : nullptr);
            } else if (where.inModule(entry.address)) {
                set(name, &old->second);  // the same text, but in the host's memory again
            }
        }
        for (const auto& [name, value] : before) {
            if (!seen.count(name)) {
                changed.push_back(narrow(name));
                set(name, &value);
            }
        }
        saved_ = current();
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
    // The same entries at the same addresses, read without copying: this
    // runs at every unload.
    bool unchanged() const {
#if defined(_WIN32)
        const auto now = current();
        if (now.size() != saved_.size()) {
            return false;
        }
        for (std::size_t i = 0; i < now.size(); ++i) {
            if (now[i].text != saved_[i].text) {
                return false;
            }
        }
        return true;
#else
        std::size_t i = 0;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry, ++i) {
            if (i >= saved_.size() || *entry != saved_[i].address || *entry != saved_[i].text) {
                return false;
            }
        }
        return i == saved_.size();
#endif
    }

    std::vector<Entry> saved_;
};

class WorkingDirectoryGuard final : public StateGuard {
public:
    void record() override { saved_ = std::filesystem::current_path(); }
    std::vector<Leftover> restore(const CodeMap&) override {
        std::error_code error;
        const auto now = std::filesystem::current_path(error);
        if (!error && now == saved_) {
            return {};
        }
        std::filesystem::current_path(saved_, error);
        return {{Leftover::Severity::Warning,
                 "changed the working directory to " +
                     (now.empty() ? std::string("one that no longer exists")
                                  : "\"" + process::pathToUtf8(now) + "\"")}};
    }

private:
    std::filesystem::path saved_;
};

}  // namespace

std::unique_ptr<StateGuard> environmentGuard() {
    return std::make_unique<EnvironmentGuard>();
}

std::unique_ptr<StateGuard> workingDirectoryGuard() {
    return std::make_unique<WorkingDirectoryGuard>();
}

}  // namespace host::guards
