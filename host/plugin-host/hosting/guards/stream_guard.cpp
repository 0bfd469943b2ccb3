// The C++ standard streams: the buffer each one writes into or reads from,
// and the rest of each one's state: the stream it is tied to, its locale,
// its format, its exception mask and its error state.

#include <iostream>
#include <string>
#include <vector>

#include "guards/kinds.h"

namespace host::guards {

namespace {

// A stream and the buffer it had, whatever its character type.
struct BufferOf {
    const char* name;
    void* (*get)();
    void (*set)(void*);
    void* saved = nullptr;
    void* seen = nullptr;  // as a look that put nothing back left it
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
            stream.saved = stream.seen = stream.get();
        }
    }

    // Any buffer but its own is the plugin's: a stream a plugin redirects is
    // one it means to read or write through, with code of its own. A crash
    // in waiting, so put back at once unless nothing is to be.
    std::vector<Leftover> look(const CodeMap&, PutBack putBack) override {
        std::vector<std::string> changed;
        for (auto& stream : streams_) {
            void* const now = stream.get();
            if (now == stream.saved) {
                stream.seen = now;
            } else if (putBack != PutBack::Nothing) {
                stream.set(stream.saved);
                stream.seen = stream.saved;
                changed.push_back(stream.name);
            } else if (now != stream.seen) {
                stream.seen = now;
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

    BufferOf streams_[8];
};

// One stream's state besides its buffer.
template <typename Stream>
struct StreamState {
    using Tied = decltype(std::declval<Stream&>().tie());
    std::ios_base::fmtflags flags{};
    typename Stream::char_type fill{};
    std::streamsize precision = 0;
    std::streamsize width = 0;
    std::ios_base::iostate exceptions{};
    std::ios_base::iostate state{};
    Tied tie = nullptr;
    std::locale locale;

    static StreamState of(Stream& stream) {
        return {stream.flags(),      stream.fill(),    stream.precision(), stream.width(),
                stream.exceptions(), stream.rdstate(), stream.tie(),       stream.getloc()};
    }
    // The exception mask last, on a clear state, so that setting it throws nothing.
    void apply(Stream& stream) const {
        stream.flags(flags);
        stream.fill(fill);
        stream.precision(precision);
        stream.width(width);
        stream.tie(tie);
        if (!(stream.getloc() == locale)) {
            stream.imbue(locale);
        }
        stream.clear();
        stream.exceptions(exceptions);
        stream.clear(state);
    }
    bool operator==(const StreamState& other) const {
        return flags == other.flags && fill == other.fill && precision == other.precision &&
               width == other.width && exceptions == other.exceptions && state == other.state &&
               tie == other.tie && locale == other.locale;
    }
};

class StreamStateWatch {
public:
    virtual ~StreamStateWatch() = default;
    virtual void record() = 0;
    virtual void look(const CodeMap& where, PutBack putBack, std::vector<Leftover>& found) = 0;
};

// The standard streams a stream may be tied to and stay the host's.
bool isStandardStream(const void* stream) {
    const void* standard[] = {&std::cout,  &std::cerr,  &std::clog,
                              &std::wcout, &std::wcerr, &std::wclog};
    for (const void* candidate : standard) {
        if (stream == candidate) {
            return true;
        }
    }
    return false;
}

template <typename Stream>
class StreamStateWatchOf final : public StreamStateWatch {
public:
    StreamStateWatchOf(Stream& stream, const char* name) : stream_(stream), name_(name) {}

    void record() override { state_.record(StreamState<Stream>::of(stream_)); }

    void look(const CodeMap& where, PutBack putBack, std::vector<Leftover>& found) override {
        auto leftover = state_.look(
            StreamState<Stream>::of(stream_), putBack,
            [](const auto& a, const auto& b) { return a == b; },
            [&](const StreamState<Stream>& now) { return judge(now, where); },
            [&](const StreamState<Stream>& host) { host.apply(stream_); });
        if (leftover) {
            found.push_back(std::move(*leftover));
        }
    }

private:
    Leftover judge(const StreamState<Stream>& now, const CodeMap& where) const {
        const StreamState<Stream>& host = state_.host;
        const std::string name(name_);
        if (now.tie != host.tie && now.tie != nullptr && !isStandardStream(now.tie)) {
            return {Leftover::Severity::Failure,
                    "left " + name + " tied to a stream of its own, which goes with the module"};
        }
        if (!(now.locale == host.locale)) {
            if (auto failure = judgeFacets(now.locale, where, "the locale of " + name)) {
                return std::move(*failure);
            }
        }
        std::vector<std::string> changed;
        if (now.flags != host.flags || now.fill != host.fill || now.precision != host.precision ||
            now.width != host.width) {
            changed.push_back("format");
        }
        if (!(now.locale == host.locale)) {
            changed.push_back("locale");
        }
        if (now.tie != host.tie) {
            changed.push_back("tie");
        }
        if (now.exceptions != host.exceptions) {
            changed.push_back("exception mask");
        }
        if (now.state != host.state) {
            changed.push_back("error state");
        }
        return {Leftover::Severity::Warning, "changed the " + joinNames(changed) + " of " + name};
    }

    Stream& stream_;
    const char* name_;
    guards::Watched<StreamState<Stream>> state_;
};

class StreamFormatGuard final : public StateGuard {
public:
    StreamFormatGuard() {
        add(std::cout, "std::cout");
        add(std::cerr, "std::cerr");
        add(std::clog, "std::clog");
        add(std::cin, "std::cin");
        add(std::wcout, "std::wcout");
        add(std::wcerr, "std::wcerr");
        add(std::wclog, "std::wclog");
        add(std::wcin, "std::wcin");
    }
    void record() override {
        for (auto& stream : streams_) {
            stream->record();
        }
    }
    std::vector<Leftover> look(const CodeMap& where, PutBack putBack) override {
        std::vector<Leftover> found;
        for (auto& stream : streams_) {
            stream->look(where, putBack, found);
        }
        return found;
    }
    // Eight streams, each with a locale to copy: read on the cycles that
    // read everything.
    bool costly() const override { return true; }

private:
    template <typename Stream>
    void add(Stream& stream, const char* name) {
        streams_.push_back(std::make_unique<StreamStateWatchOf<Stream>>(stream, name));
    }
    std::vector<std::unique_ptr<StreamStateWatch>> streams_;
};

}  // namespace

std::unique_ptr<StateGuard> cppStreamFormatGuard() {
    return std::make_unique<StreamFormatGuard>();
}

std::unique_ptr<StateGuard> cppStreamsGuard() {
    return std::make_unique<StreamsGuard>();
}

}  // namespace host::guards
