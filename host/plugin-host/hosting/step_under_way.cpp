#include "step_under_way.h"

#include <algorithm>
#include <cstring>

namespace host {

namespace {
PluginPlace place;
}  // namespace

StepUnderWay::StepUnderWay(const std::string& test, Step step, int number,
                           const char* counted) noexcept {
    const std::size_t size = std::min(test.size(), sizeof place.test - 1);
    std::memcpy(place.test, test.data(), size);
    place.test[size] = '\0';
    place.step = step;
    place.number = number;
    place.counted = counted;
    place.known = true;
    place.during = true;
}

StepUnderWay::~StepUnderWay() {
    place.during = false;
}

const PluginPlace& pluginPlace() noexcept {
    return place;
}

}  // namespace host
