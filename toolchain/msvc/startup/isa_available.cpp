// The instruction-set level that MSVC's runtime detects with CPUID at start
// up; the standard library reads it only to prefer lzcnt/tzcnt over bsr/bsf.
// Zero is the x86-64 baseline, whose paths give the same results everywhere.
extern "C" int __isa_available = 0;
