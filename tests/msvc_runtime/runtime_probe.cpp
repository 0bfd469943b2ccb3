// A DLL that exercises the cross build's runtime pieces from inside a
// module: static objects and their destructors, exceptions leaving the DLL,
// allocation failure, and function-local statics under concurrency.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#define PROBE_EXPORT extern "C" __declspec(dllexport)

namespace {

int constructedObjects = 0;
int* destructionCounter = nullptr;

// Counts itself in on load and out, through the host's counter, on unload.
struct StaticObject {
    StaticObject() { ++constructedObjects; }
    ~StaticObject() {
        if (destructionCounter != nullptr) {
            ++*destructionCounter;
        }
    }
} staticObject;

struct CountsUnwinding {
    int* unwound;
    ~CountsUnwinding() { ++*unwound; }
};

class ProbeError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

std::atomic<int> slowInitializations{0};

int slowlyInitialized() {
    static const int value = [] {
        ++slowInitializations;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return 42;
    }();
    return value;
}

int initializationAttempts = 0;

const std::string& initializedOnSecondAttempt() {
    static const std::string value = [] {
        if (++initializationAttempts == 1) {
            throw std::runtime_error("first attempt fails");
        }
        return std::string("second attempt");
    }();
    return value;
}

}  // namespace

PROBE_EXPORT int probe_constructed_objects() {
    return constructedObjects;
}

// The counter is bumped by the static object's destructor and by that of a
// function-local static made here, both of which must run at FreeLibrary.
PROBE_EXPORT void probe_watch_unload(int* counter) {
    destructionCounter = counter;
    static StaticObject madeOnFirstCall;
}

PROBE_EXPORT void probe_throw(const char* message, int* unwound) {
    CountsUnwinding local{unwound};
    throw std::runtime_error(message);
}

PROBE_EXPORT void probe_throw_derived() {
    throw ProbeError("thrown as a type only this DLL knows");
}

PROBE_EXPORT void* probe_allocate(std::size_t bytes) {
    return ::operator new(bytes);
}

PROBE_EXPORT void probe_free(void* memory) {
    ::operator delete(memory);
}

// Runs the same function-local static's initialiser from several threads at
// once; gives back how often it ran (once) and whether all saw its value.
PROBE_EXPORT int probe_initialize_from_threads(int threads, bool* allSawTheValue) {
    std::atomic<bool> allSaw{true};
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&allSaw] {
            if (slowlyInitialized() != 42) {
                allSaw = false;
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    *allSawTheValue = allSaw;
    return slowInitializations;
}

// A throwing initialiser leaves the static uninitialised for the next call.
PROBE_EXPORT const char* probe_retried_initialization(int* attempts) {
    const char* result = nullptr;
    for (int call = 0; call < 2 && result == nullptr; ++call) {
        try {
            result = initializedOnSecondAttempt().c_str();
        } catch (const std::runtime_error&) {
        }
    }
    *attempts = initializationAttempts;
    return result;
}
