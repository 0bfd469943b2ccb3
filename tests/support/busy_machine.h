#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "built_files.h"
#include "process/process.h"

// A busy CI machine beside a test: `processes` processes that each keep a
// processor busy for as long as the object lives.
class BusyMachine {
public:
    explicit BusyMachine(int processes) {
#if defined(_WIN32)
        const std::string child = "process_child.exe";
#else
        const std::string child = "process_child";
#endif
        for (int i = 0; i < processes; ++i) {
            spinners_.emplace_back([this, child] {
                process::run(builtFile(child), {"spin"}, {},
                             process::Watchdog{std::chrono::milliseconds(0), {}, [this] {
                                                   return done_.load();
                                               }});
            });
        }
        // Spinning before the test starts, not while it is over.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    BusyMachine(const BusyMachine&) = delete;
    BusyMachine& operator=(const BusyMachine&) = delete;
    ~BusyMachine() {
        done_ = true;
        for (auto& spinner : spinners_) {
            spinner.join();
        }
    }

private:
    std::atomic<bool> done_{false};
    std::vector<std::thread> spinners_;
};
