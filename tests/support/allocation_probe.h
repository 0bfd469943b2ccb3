#pragma once

// Counts allocations made through the global operator new, in this program
// and in every module it loads, and can make one of them fail.
namespace allocation_probe {

// Zeroes the counts and disarms any failure.
void reset() noexcept;

// The n-th allocation from now (1 = the next) throws std::bad_alloc; 0 disarms.
void failAt(long n) noexcept;

// Allocations since reset().
long allocations() noexcept;

// Allocations minus deallocations since reset(): zero when nothing was kept.
long live() noexcept;

}  // namespace allocation_probe
