#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace host {

// A shortest list of operations found that still `fails`, from one that
// does: fewer operations first (runs of them, then any one or two, for
// pairs that only go together: a copy and its release, an unload and a
// load), then each one replaced by a `simpler` one (simplest first), until
// neither helps. Only `legal` candidates are tried.
template <class Op>
std::vector<Op> shrinkOperations(std::vector<Op> failing,
                                 const std::function<bool(const std::vector<Op>&)>& legal,
                                 const std::function<std::vector<Op>(const Op&)>& simpler,
                                 const std::function<bool(const std::vector<Op>&)>& fails) {
    const auto worse = [&](const std::vector<Op>& candidate) {
        return !candidate.empty() && legal(candidate) && fails(candidate);
    };
    const auto without = [](std::vector<Op> from, std::size_t start, std::size_t size) {
        from.erase(from.begin() + static_cast<std::ptrdiff_t>(start),
                   from.begin() + static_cast<std::ptrdiff_t>(start + size));
        return from;
    };
    for (bool shrunk = true; shrunk;) {
        shrunk = false;
        for (std::size_t size = failing.size() / 2; size >= 1; size /= 2) {
            for (std::size_t start = 0; start + size <= failing.size();) {
                std::vector<Op> candidate = without(failing, start, size);
                if (worse(candidate)) {
                    failing = std::move(candidate);
                    shrunk = true;
                } else {
                    start += size;
                }
            }
        }
        for (std::size_t i = 0; i < failing.size() && !shrunk; ++i) {
            for (std::size_t j = i + 1; j < failing.size() && !shrunk; ++j) {
                std::vector<Op> candidate = without(without(failing, j, 1), i, 1);
                if (worse(candidate)) {
                    failing = std::move(candidate);
                    shrunk = true;
                }
            }
        }
        for (std::size_t i = 0; i < failing.size() && !shrunk; ++i) {
            for (const Op& instead : simpler(failing[i])) {
                std::vector<Op> candidate = failing;
                candidate[i] = instead;
                if (worse(candidate)) {
                    failing = std::move(candidate);
                    shrunk = true;
                    break;
                }
            }
        }
    }
    return failing;
}

}  // namespace host
