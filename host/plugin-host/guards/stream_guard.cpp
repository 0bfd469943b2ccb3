// The C++ standard streams: the buffer each one writes into or reads from.

#include <iostream>
#include <string>

#include "guards/kinds.h"

namespace host::guards {

namespace {

// A stream and the buffer it had, whatever its character type.
struct Watched {
    const char* name;
    void* (*get)();
    void (*set)(void*);
    void* saved = nullptr;
};

class StreamsGuard final : public StateGuard {
public:
    StreamsGuard()
        : streams_{
              {"std::cout", [] { return buffer(std::cout); }, [](void* b) { reset(std::cout, b); }},
              {"std::cerr", [] { return buffer(std::cerr); }, [](void* b) { reset(std::cerr, b); }},
              {"std::clog", [] { return buffer(std::clog); }, [](void* b) { reset(std::clog, b); }},
              {"std::cin", [] { return buffer(std::cin); }, [](void* b) { reset(std::cin, b); }},
              {"std::wcout", [] { return buffer(std::wcout); },
               [](void* b) { reset(std::wcout, b); }},
              {"std::wcerr", [] { return buffer(std::wcerr); },
               [](void* b) { reset(std::wcerr, b); }},
              {"std::wclog", [] { return buffer(std::wclog); },
               [](void* b) { reset(std::wclog, b); }},
              {"std::wcin", [] { return buffer(std::wcin); }, [](void* b) { reset(std::wcin, b); }},
          } {}

    void record() override {
        for (auto& stream : streams_) {
            stream.saved = stream.get();
        }
    }

    // Any buffer but its own is the plugin's: a stream a plugin redirects is
    // one it means to read or write through, with code of its own. A crash
    // in waiting, so always put back at once.
    std::vector<Leftover> look(const CodeMap&, bool) override {
        std::vector<std::string> changed;
        for (auto& stream : streams_) {
            if (stream.get() != stream.saved) {
                stream.set(stream.saved);
                changed.push_back(stream.name);
            }
        }
        if (changed.empty()) {
            return {};
        }
        return {{Leftover::Severity::Failure,
                 "left " + joinNames(changed) +
                     " pointing at a buffer of its own, which goes with the module"}};
    }

private:
    template <typename Stream>
    static void* buffer(Stream& stream) {
        return stream.rdbuf();
    }
    template <typename Stream>
    static void reset(Stream& stream, void* saved) {
        stream.rdbuf(static_cast<decltype(stream.rdbuf())>(saved));
    }

    Watched streams_[8];
};

}  // namespace

std::unique_ptr<StateGuard> cppStreamsGuard() {
    return std::make_unique<StreamsGuard>();
}

}  // namespace host::guards
