// Thread-specific data keys: a key's destructor runs whenever a thread
// that has a value for it ends, so a key whose destructor is the module's
// is a crash in waiting for every thread of the host's.
//
// No API lists the keys. glibc keeps them in one table, which it describes
// for debuggers (libthread_db) in the descriptor read here: the table is
// read only when the descriptor says it has the layout this guard knows.

#include <dlfcn.h>
#include <pthread.h>

#include <cstdint>
#include <string>
#include <vector>

#include "guards/kinds.h"

namespace host::guards {

namespace {

struct KeySlot {
    std::uintptr_t sequence;  // odd while the key is in use
    void (*destructor)(void*);
};

struct KeyTable {
    const KeySlot* slots = nullptr;
    std::uint32_t count = 0;
};

KeyTable findTable() {
    const auto* layout =
        static_cast<const std::uint32_t*>(dlsym(RTLD_DEFAULT, "_thread_db___pthread_keys"));
    const auto* slots = static_cast<const KeySlot*>(dlsym(RTLD_DEFAULT, "__pthread_keys"));
    // {bits of an element, elements, offset}
    if (layout == nullptr || slots == nullptr || layout[0] != 8 * sizeof(KeySlot) ||
        layout[2] != 0) {
        return {};
    }
    return {slots, layout[1]};
}

struct Key {
    unsigned index;
    std::uintptr_t sequence;
    const void* destructor;
    bool operator==(const Key& other) const {
        return index == other.index && sequence == other.sequence && destructor == other.destructor;
    }
};

class ThreadKeysGuard final : public ValueGuard<std::vector<Key>> {
public:
    explicit ThreadKeysGuard(KeyTable table) : table_(table) {}

private:
    std::vector<Key> read() override {
        std::vector<Key> used;
        for (std::uint32_t i = 0; i < table_.count; ++i) {
            const KeySlot slot = table_.slots[i];
            if ((slot.sequence & 1) != 0) {
                used.push_back({i, slot.sequence, reinterpret_cast<const void*>(slot.destructor)});
            }
        }
        return used;
    }
    // The plugin's keys go; what a thread still holds under them is the
    // plugin's leak, never a call into the module.
    void write(const std::vector<Key>& host) override {
        for (const Key& key : read()) {
            if (!isHosts(key, host)) {
                pthread_key_delete(static_cast<pthread_key_t>(key.index));
            }
        }
    }
    Leftover judge(const std::vector<Key>& now, const CodeMap& where) override {
        int left = 0;
        for (const Key& key : now) {
            if (isHosts(key, host())) {
                continue;
            }
            ++left;
            if (key.destructor != nullptr && where.inModule(key.destructor)) {
                return {Leftover::Severity::Failure,
                        "left a thread-specific data key whose destructor is in the module, "
                        "which is gone after unload"};
            }
            if (key.destructor != nullptr && !where.inLoadedImage(key.destructor)) {
                return {Leftover::Severity::Failure,
                        "left a thread-specific data key whose destructor is code that is no "
                        "longer loaded"};
            }
        }
        if (left == 0) {
            return {Leftover::Severity::Warning,
                    "deleted a thread-specific data key of the host's"};
        }
        return {Leftover::Severity::Warning, "left " + std::to_string(left) +
                                                 " thread-specific data " +
                                                 (left == 1 ? "key" : "keys") + " allocated"};
    }
    // A thousand slots: read on the cycles that read everything.
    bool costly() const override { return true; }
    static bool isHosts(const Key& key, const std::vector<Key>& host) {
        for (const Key& had : host) {
            if (had == key) {
                return true;
            }
        }
        return false;
    }

    KeyTable table_;
};

}  // namespace

std::unique_ptr<StateGuard> threadKeysGuard() {
    const KeyTable table = findTable();
    if (table.slots == nullptr) {
        return nullptr;
    }
    return std::make_unique<ThreadKeysGuard>(table);
}

}  // namespace host::guards
