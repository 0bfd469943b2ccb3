/* A loadable library with no C++ in it, for the cost of the system loader alone. */
#if defined(_WIN32)
#define EXPORTED __declspec(dllexport)
#else
#define EXPORTED __attribute__((visibility("default")))
#endif

EXPORTED int empty_library_marker(void) {
    return 0;
}
