// What a plugin can leave in each C++ standard stream that no public member
// reads back: its event callbacks (register_callback), called whenever the
// host imbues or copies the stream's format, and its iword/pword slots.
// Both are ios_base's own members, out of a caller's reach: each library's
// way in is below.

#include <algorithm>
#include <ios>
#include <iostream>
#include <string>
#include <vector>

#include "guards/kinds.h"

namespace host::guards {

#if defined(__GLIBCXX__) || defined(_MSVC_STL_VERSION)

namespace {

// One iword/pword slot that holds something.
struct Word {
    int index;
    void* pointer;
    long number;
    bool operator==(const Word& other) const {
        return index == other.index && pointer == other.pointer && number == other.number;
    }
};

#if defined(__GLIBCXX__)

// libstdc++: protected members, which a derived class may name. Callbacks
// are a list, newest first; the slots an array grown on demand.
struct IosInside : std::ios_base {
    using Callback = std::ios_base::_Callback_list;
    using Words = std::ios_base::_Words;
    static constexpr auto callbacks = &IosInside::_M_callbacks;
    static constexpr auto wordCount = &IosInside::_M_word_size;
    static constexpr auto words = &IosInside::_M_word;
};

const void* callbackList(std::ios_base& stream) {
    return stream.*IosInside::callbacks;
}

// The code of each callback in front of `host`'s list.
std::vector<const void*> callbacksBefore(std::ios_base& stream, const void* host) {
    std::vector<const void*> code;
    for (auto* callback = stream.*IosInside::callbacks; callback != nullptr && callback != host;
         callback = callback->_M_next) {
        code.push_back(reinterpret_cast<const void*>(callback->_M_fn));
    }
    return code;
}

std::vector<Word> wordsOf(std::ios_base& stream) {
    std::vector<Word> words;
    const IosInside::Words* slots = stream.*IosInside::words;
    for (int i = 0; i < stream.*IosInside::wordCount; ++i) {
        if (slots[i]._M_pword != nullptr || slots[i]._M_iword != 0) {
            words.push_back(Word{i, slots[i]._M_pword, slots[i]._M_iword});
        }
    }
    return words;
}

void putBackInside(std::ios_base& stream, const void* hostList, const std::vector<Word>& host) {
    auto*& head = stream.*IosInside::callbacks;
    while (head != nullptr && head != hostList) {
        auto* gone = head;
        head = head->_M_next;
        // A list copied from another stream (copyfmt) is shared with it.
        if (gone->_M_remove_reference() == 0) {
            delete gone;
        }
    }
    IosInside::Words* slots = stream.*IosInside::words;
    for (int i = 0; i < stream.*IosInside::wordCount; ++i) {
        slots[i]._M_pword = nullptr;
        slots[i]._M_iword = 0;
    }
    for (const Word& word : host) {
        if (word.index < stream.*IosInside::wordCount) {
            slots[word.index]._M_pword = word.pointer;
            slots[word.index]._M_iword = word.number;
        }
    }
}

#else

// The MSVC library: private members, which only an explicit instantiation
// may name. Callbacks and slots are both lists, newest first.
struct CallsTag {};
struct SlotsTag {};
auto memberOf(CallsTag);
auto memberOf(SlotsTag);
template <typename Tag, auto Member>
struct Reach {
    friend auto memberOf(Tag) { return Member; }
};
template struct Reach<CallsTag, &std::ios_base::_Calls>;
template struct Reach<SlotsTag, &std::ios_base::_Arr>;

const void* callbackList(std::ios_base& stream) {
    return stream.*memberOf(CallsTag{});
}

std::vector<const void*> callbacksBefore(std::ios_base& stream, const void* host) {
    std::vector<const void*> code;
    for (auto* callback = stream.*memberOf(CallsTag{}); callback != nullptr && callback != host;
         callback = callback->_Next) {
        code.push_back(reinterpret_cast<const void*>(callback->_Pfn));
    }
    return code;
}

std::vector<Word> wordsOf(std::ios_base& stream) {
    std::vector<Word> words;
    for (auto* slot = stream.*memberOf(SlotsTag{}); slot != nullptr; slot = slot->_Next) {
        if (slot->_Vp != nullptr || slot->_Lo != 0) {
            words.push_back(Word{slot->_Index, slot->_Vp, slot->_Lo});
        }
    }
    std::sort(words.begin(), words.end(),
              [](const Word& a, const Word& b) { return a.index < b.index; });
    return words;
}

// A slot emptied stays in the list, free for the next index asked for.
void putBackInside(std::ios_base& stream, const void* hostList, const std::vector<Word>& host) {
    auto*& head = stream.*memberOf(CallsTag{});
    while (head != nullptr && head != hostList) {
        auto* gone = head;
        head = head->_Next;
        delete gone;
    }
    for (auto* slot = stream.*memberOf(SlotsTag{}); slot != nullptr; slot = slot->_Next) {
        slot->_Vp = nullptr;
        slot->_Lo = 0;
        for (const Word& word : host) {
            if (word.index == slot->_Index) {
                slot->_Vp = word.pointer;
                slot->_Lo = word.number;
            }
        }
    }
}

#endif

struct Inside {
    const void* callbacks = nullptr;
    std::vector<Word> words;
    bool operator==(const Inside& other) const {
        return callbacks == other.callbacks && words == other.words;
    }
};

Inside insideOf(std::ios_base& stream) {
    return Inside{callbackList(stream), wordsOf(stream)};
}

class StreamCallbacksGuard final : public StateGuard {
public:
    StreamCallbacksGuard()
        : streams_{{&std::cout, "std::cout"},   {&std::cerr, "std::cerr"},
                   {&std::clog, "std::clog"},   {&std::cin, "std::cin"},
                   {&std::wcout, "std::wcout"}, {&std::wcerr, "std::wcerr"},
                   {&std::wclog, "std::wclog"}, {&std::wcin, "std::wcin"}} {}

    void record() override {
        for (auto& stream : streams_) {
            stream.item.record(insideOf(*stream.stream));
        }
    }

    std::vector<Leftover> look(const CodeMap& where, PutBack putBack) override {
        std::vector<Leftover> found;
        for (auto& stream : streams_) {
            auto leftover = stream.item.look(
                insideOf(*stream.stream), putBack,
                [](const Inside& a, const Inside& b) { return a == b; },
                [&](const Inside& now) { return judge(stream, now, where); },
                [&](const Inside& host) {
                    putBackInside(*stream.stream, host.callbacks, host.words);
                });
            if (leftover) {
                found.push_back(std::move(*leftover));
            }
        }
        return found;
    }

    bool costly() const override { return true; }

private:
    struct Stream {
        std::ios_base* stream;
        const char* name;
        Watched<Inside> item{};
    };

    static Leftover judge(const Stream& stream, const Inside& now, const CodeMap& where) {
        // The plugin's callbacks are the ones in front of the host's.
        for (const void* code : callbacksBefore(*stream.stream, stream.item.host.callbacks)) {
            Leftover pointer =
                judgePointer(code, where, std::string("an event callback of ") + stream.name);
            if (pointer.severity == Leftover::Severity::Failure) {
                return pointer;
            }
        }
        if (now.callbacks != stream.item.host.callbacks) {
            return {Leftover::Severity::Warning,
                    std::string("registered an event callback on ") + stream.name};
        }
        return {Leftover::Severity::Warning,
                std::string("changed the iword/pword slots of ") + stream.name};
    }

    std::vector<Stream> streams_;
};

}  // namespace

std::unique_ptr<StateGuard> streamCallbacksGuard() {
    return std::make_unique<StreamCallbacksGuard>();
}

#else

std::unique_ptr<StateGuard> streamCallbacksGuard() {
    return nullptr;
}

#endif

}  // namespace host::guards
