// The default memory resource of std::pmr: every container the host makes
// without naming one allocates from it.

#include <cstring>
#include <memory_resource>

#include "guards/kinds.h"

namespace host::guards {

namespace {

class DefaultMemoryResourceGuard final : public ValueGuard<std::pmr::memory_resource*> {
    std::pmr::memory_resource* read() override { return std::pmr::get_default_resource(); }
    void write(std::pmr::memory_resource* const& resource) override {
        std::pmr::set_default_resource(resource);
    }
    // The object, or the code its virtual table names, in the module.
    Leftover judge(std::pmr::memory_resource* const& now, const CodeMap& where) override {
        const void* table = nullptr;
        std::memcpy(&table, static_cast<const void*>(now), sizeof table);
        if (where.inModule(now) || where.inModule(table)) {
            return {Leftover::Severity::Failure,
                    "left the default memory resource pointing into the module, which is gone "
                    "after unload"};
        }
        if (!where.inLoadedImage(table)) {
            return {Leftover::Severity::Failure,
                    "left the default memory resource pointing at code that is no longer loaded"};
        }
        return {Leftover::Severity::Warning, "changed the default memory resource"};
    }
};

}  // namespace

std::unique_ptr<StateGuard> defaultMemoryResourceGuard() {
    return std::make_unique<DefaultMemoryResourceGuard>();
}

}  // namespace host::guards
