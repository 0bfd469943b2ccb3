# Compile settings every target of the project shares, carried by one
# interface target rather than global variables.
add_library(project_options INTERFACE)
add_library(velquist::options ALIAS project_options)

target_compile_features(project_options INTERFACE cxx_std_17)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
# Every binary records its sources relative to the source tree, as modules do.
bakkesmod_relative_source_paths(project_options INTERFACE "${PROJECT_SOURCE_DIR}")

if(MSVC)
    target_compile_options(project_options INTERFACE /W4 /permissive- /utf-8
        # Exported classes hold standard-library members; both sides of the
        # boundary are built with the same toolset, so the warning is noise.
        /wd4251)
    if(VELQUIST_WARNINGS_AS_ERRORS)
        target_compile_options(project_options INTERFACE /WX)
    endif()
else()
    target_compile_options(project_options INTERFACE -Wall -Wextra -Wpedantic)
    if(VELQUIST_WARNINGS_AS_ERRORS)
        target_compile_options(project_options INTERFACE -Werror)
    endif()
    if(VELQUIST_FUZZ)
        if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
            message(FATAL_ERROR "VELQUIST_FUZZ needs clang (libFuzzer); use the fuzz preset")
        endif()
        # Every library is instrumented for coverage; only the fuzz targets
        # link libFuzzer's main.
        target_compile_options(project_options INTERFACE
            -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr
            -fno-omit-frame-pointer -fno-sanitize-recover=all)
        target_link_options(project_options INTERFACE -fsanitize=address,undefined)
    elseif(VELQUIST_SANITIZE)
        # No vptr check: the plugin base class's type information lives in
        # each module, which the host loads but never links against.
        target_compile_options(project_options INTERFACE
            -fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer
            -fno-sanitize-recover=all)
        target_link_options(project_options INTERFACE -fsanitize=address,undefined)
    endif()
endif()
