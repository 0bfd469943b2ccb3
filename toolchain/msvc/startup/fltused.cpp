// Any module that uses floating point refers to _fltused; MSVC's static
// runtime defines it, and the value is the one it has always had.
extern "C" int _fltused = 0x9875;
