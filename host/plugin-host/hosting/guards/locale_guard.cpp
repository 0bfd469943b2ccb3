// The global C++ locale and the C locale: how the host formats numbers,
// classifies characters and converts text.

#include <clocale>
#include <cstring>
#include <locale>
#include <string>
#include <vector>

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

// The standard facets, the only ones the host's own code ever asks for, by
// name and where their code lives.
struct FacetCode {
    const char* name;
    const void* table;
};
std::vector<FacetCode> standardFacets(const std::locale& locale) {
    return {{"ctype<char>", tableOf<std::ctype<char>>(locale)},
            {"ctype<wchar_t>", tableOf<std::ctype<wchar_t>>(locale)},
            {"numpunct<char>", tableOf<std::numpunct<char>>(locale)},
            {"numpunct<wchar_t>", tableOf<std::numpunct<wchar_t>>(locale)},
            {"num_put<char>", tableOf<std::num_put<char>>(locale)},
            {"num_get<char>", tableOf<std::num_get<char>>(locale)},
            {"codecvt<char, char, mbstate_t>",
             tableOf<std::codecvt<char, char, std::mbstate_t>>(locale)},
            {"codecvt<wchar_t, char, mbstate_t>",
             tableOf<std::codecvt<wchar_t, char, std::mbstate_t>>(locale)},
            {"collate<char>", tableOf<std::collate<char>>(locale)},
            {"time_put<char>", tableOf<std::time_put<char>>(locale)}};
}

class CppLocaleGuard final : public ValueGuard<std::locale> {
    std::locale read() override { return std::locale(); }
    void write(const std::locale& locale) override { std::locale::global(locale); }
    Leftover judge(const std::locale& now, const CodeMap& where) override {
        if (auto failure = judgeFacets(now, where, "the global C++ locale")) {
            return std::move(*failure);
        }
        return {Leftover::Severity::Warning,
                "changed the global C++ locale to \"" + now.name() + "\""};
    }
};

class CLocaleGuard final : public ValueGuard<std::string> {
    std::string read() override {
        const char* name = std::setlocale(LC_ALL, nullptr);
        return name != nullptr ? name : "";
    }
    void write(const std::string& name) override { std::setlocale(LC_ALL, name.c_str()); }
    Leftover judge(const std::string& now, const CodeMap&) override {
        return {Leftover::Severity::Warning, "changed the C locale to \"" + now + "\""};
    }
};

}  // namespace

std::optional<Leftover> judgeFacets(const std::locale& locale, const CodeMap& where,
                                    const std::string& what) {
    // A facet of the module's own first: it is the likelier, and the worse.
    for (const bool inModule : {true, false}) {
        for (const auto& facet : standardFacets(locale)) {
            if (inModule ? where.inModule(facet.table) : !where.inLoadedImage(facet.table)) {
                return Leftover{Leftover::Severity::Failure,
                                "left " + what + " with a " + std::string(facet.name) +
                                    (inModule ? " facet of its own, which is gone after unload"
                                              : " facet whose code is no longer loaded")};
            }
        }
    }
    return std::nullopt;
}

std::unique_ptr<StateGuard> cppLocaleGuard() {
    return std::make_unique<CppLocaleGuard>();
}

std::unique_ptr<StateGuard> cLocaleGuard() {
    return std::make_unique<CLocaleGuard>();
}

}  // namespace host::guards
