// The global C++ locale and the C locale: how the host formats numbers,
// classifies characters and converts text.

#include <clocale>
#include <cstring>
#include <locale>
#include <string>

#include "guards/kinds.h"

namespace host::guards {

namespace {

// The address of a facet's virtual table: where its code lives. A facet of
// the plugin's own has its table in the module.
template <typename Facet>
const void* tableOf(const std::locale& locale) {
    const void* table = nullptr;
    std::memcpy(&table, static_cast<const void*>(&std::use_facet<Facet>(locale)), sizeof table);
    return table;
}

// The standard facets, the only ones the host's own code ever asks for.
template <typename... Facets>
struct FacetList {
    static std::string firstIn(const std::locale& locale, const CodeMap& where, bool module) {
        std::string found;
        const char* names[] = {Facets::kName...};
        const void* tables[] = {tableOf<typename Facets::Type>(locale)...};
        for (std::size_t i = 0; i < sizeof...(Facets) && found.empty(); ++i) {
            if (module ? where.inModule(tables[i]) : !where.inLoadedImage(tables[i])) {
                found = names[i];
            }
        }
        return found;
    }
};

struct CtypeChar {
    using Type = std::ctype<char>;
    static constexpr const char* kName = "ctype<char>";
};
struct CtypeWide {
    using Type = std::ctype<wchar_t>;
    static constexpr const char* kName = "ctype<wchar_t>";
};
struct NumpunctChar {
    using Type = std::numpunct<char>;
    static constexpr const char* kName = "numpunct<char>";
};
struct NumpunctWide {
    using Type = std::numpunct<wchar_t>;
    static constexpr const char* kName = "numpunct<wchar_t>";
};
struct NumPutChar {
    using Type = std::num_put<char>;
    static constexpr const char* kName = "num_put<char>";
};
struct NumGetChar {
    using Type = std::num_get<char>;
    static constexpr const char* kName = "num_get<char>";
};
struct CodecvtChar {
    using Type = std::codecvt<char, char, std::mbstate_t>;
    static constexpr const char* kName = "codecvt<char, char, mbstate_t>";
};
struct CodecvtWide {
    using Type = std::codecvt<wchar_t, char, std::mbstate_t>;
    static constexpr const char* kName = "codecvt<wchar_t, char, mbstate_t>";
};
struct CollateChar {
    using Type = std::collate<char>;
    static constexpr const char* kName = "collate<char>";
};
struct TimePutChar {
    using Type = std::time_put<char>;
    static constexpr const char* kName = "time_put<char>";
};
using StandardFacets = FacetList<CtypeChar, CtypeWide, NumpunctChar, NumpunctWide, NumPutChar,
                                 NumGetChar, CodecvtChar, CodecvtWide, CollateChar, TimePutChar>;

class CppLocaleGuard final : public StateGuard {
public:
    void record() override { saved_ = std::locale(); }
    std::vector<Leftover> restore(const CodeMap& where) override {
        const std::locale now;
        if (now == saved_) {
            return {};
        }
        std::locale::global(saved_);
        if (const auto facet = StandardFacets::firstIn(now, where, true); !facet.empty()) {
            return {
                {Leftover::Severity::Failure, "left the global C++ locale with a " + facet +
                                                  " facet of its own, which is gone after unload"}};
        }
        if (const auto facet = StandardFacets::firstIn(now, where, false); !facet.empty()) {
            return {{Leftover::Severity::Failure, "left the global C++ locale with a " + facet +
                                                      " facet whose code is no longer loaded"}};
        }
        return {{Leftover::Severity::Warning,
                 "changed the global C++ locale to \"" + now.name() + "\""}};
    }

private:
    std::locale saved_;
};

class CLocaleGuard final : public StateGuard {
public:
    void record() override { saved_ = current(); }
    std::vector<Leftover> restore(const CodeMap&) override {
        const std::string now = current();
        if (now == saved_) {
            return {};
        }
        std::setlocale(LC_ALL, saved_.c_str());
        return {{Leftover::Severity::Warning, "changed the C locale to \"" + now + "\""}};
    }

private:
    static std::string current() {
        const char* name = std::setlocale(LC_ALL, nullptr);
        return name != nullptr ? name : "";
    }
    std::string saved_;
};

}  // namespace

std::unique_ptr<StateGuard> cppLocaleGuard() {
    return std::make_unique<CppLocaleGuard>();
}

std::unique_ptr<StateGuard> cLocaleGuard() {
    return std::make_unique<CLocaleGuard>();
}

}  // namespace host::guards
