# Third-party libraries, all from the distribution. A Windows cross build
# cannot use the host's compiled libraries, so GoogleTest is built from the
# sources Debian ships, Google Benchmark from its sources (Debian ships none:
# GOOGLE_BENCHMARK_DIR), and the header-only libraries are taken from the
# host's include folder without exposing the rest of it.

if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
    if(CMAKE_CROSSCOMPILING)
        find_path(VELQUIST_GOOGLETEST_SOURCE CMakeLists.txt
            PATHS /usr/src/googletest NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
        # Windows threads only; a compile-only configure check would
        # otherwise "find" a pthreads library that is not there.
        set(gtest_disable_pthreads ${WIN32} CACHE BOOL "" FORCE)
        add_subdirectory("${VELQUIST_GOOGLETEST_SOURCE}" "${PROJECT_BINARY_DIR}/_deps/googletest"
            EXCLUDE_FROM_ALL SYSTEM)
    else()
        find_package(GTest REQUIRED)
    endif()
endif()

if(NOT CMAKE_CROSSCOMPILING)
    find_package(nlohmann_json 3.10 REQUIRED)
    find_package(CLI11 REQUIRED)
    find_package(benchmark QUIET)
else()
    # Stage just the wanted header folders, so the host's C library headers
    # never reach the cross compiler.
    set(_staged "${PROJECT_BINARY_DIR}/_deps/headers")
    foreach(_dir nlohmann CLI)
        find_path(_found_${_dir} ${_dir} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
        if(NOT _found_${_dir})
            message(FATAL_ERROR "Header-only library '${_dir}' not found in /usr/include")
        endif()
        file(COPY "${_found_${_dir}}/${_dir}" DESTINATION "${_staged}")
    endforeach()
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE "${_staged}")
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    target_include_directories(CLI11::CLI11 SYSTEM INTERFACE "${_staged}")

    if(NOT GOOGLE_BENCHMARK_DIR)
        if(DEFINED ENV{GOOGLE_BENCHMARK_DIR})
            set(GOOGLE_BENCHMARK_DIR "$ENV{GOOGLE_BENCHMARK_DIR}")
        elseif(EXISTS "${PROJECT_SOURCE_DIR}/../shared/google-benchmark/src/benchmark.cc")
            get_filename_component(GOOGLE_BENCHMARK_DIR "${PROJECT_SOURCE_DIR}/../shared/google-benchmark"
                ABSOLUTE)
        endif()
    endif()
    set(GOOGLE_BENCHMARK_DIR "${GOOGLE_BENCHMARK_DIR}" CACHE PATH
        "Google Benchmark v1.7.1 sources (include/, src/), for the benchmark program of a cross build")
    if(EXISTS "${GOOGLE_BENCHMARK_DIR}/src/benchmark.cc")
        # Its own build runs configure checks a cross build cannot; the two
        # definitions are what those checks would find.
        file(GLOB _benchmark_sources "${GOOGLE_BENCHMARK_DIR}/src/*.cc")
        list(FILTER _benchmark_sources EXCLUDE REGEX "benchmark_main\\.cc$")
        add_library(google_benchmark STATIC EXCLUDE_FROM_ALL ${_benchmark_sources})
        target_include_directories(google_benchmark SYSTEM PUBLIC "${GOOGLE_BENCHMARK_DIR}/include")
        target_compile_definitions(google_benchmark PUBLIC BENCHMARK_STATIC_DEFINE
            PRIVATE HAVE_STD_REGEX)
        target_compile_features(google_benchmark PUBLIC cxx_std_17)
        target_compile_options(google_benchmark PRIVATE /w)
        add_library(benchmark::benchmark ALIAS google_benchmark)
    endif()
endif()
