/* A loadable library with no C++ in it, for the cost of the system loader alone. */
__attribute__((visibility("default"))) int empty_library_marker(void) { return 0; }
