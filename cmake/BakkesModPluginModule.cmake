# bakkesmod_plugin_module(<target>)
#
# Makes a MODULE library a plugin module the BakkesMod host can load: the
# plugin base class's members compiled in, the SDK library imported, only the
# host's interface leaving it (the descriptor, the two entries, the base
# class), and nothing in it that keeps it in memory after the host unloads it.
include_guard(GLOBAL)

set(_BAKKESMOD_PLUGIN_MODULE_MAP "${CMAKE_CURRENT_LIST_DIR}/plugin_module.map")

# Compile-time paths (__FILE__) recorded relative to `source_dir`, so a
# binary neither shows the build machine's folders nor differs between two
# checkouts.
function(bakkesmod_relative_source_paths target scope source_dir)
    if(MSVC AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        target_compile_options(${target} ${scope} "/clang:-ffile-prefix-map=${source_dir}/="
            # Keep the path as written; the reproducible form would turn its
            # separators into backslashes.
            /clang:-fno-file-reproducible)
    elseif(MSVC)
        file(TO_NATIVE_PATH "${source_dir}/" native_source_dir)
        target_compile_options(${target} ${scope} "/d1trimfile:${native_source_dir}")
    else()
        target_compile_options(${target} ${scope} "-ffile-prefix-map=${source_dir}/=")
    endif()
endfunction()

function(bakkesmod_plugin_module target)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "MODULE_LIBRARY")
        message(FATAL_ERROR "bakkesmod_plugin_module(${target}): a plugin module is a MODULE "
            "library (add_library(${target} MODULE ...)), not a ${type}")
    endif()
    # The host finds the module by its file name: Velquist.so, not libVelquist.so.
    set_target_properties(${target} PROPERTIES PREFIX ""
        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    target_link_libraries(${target} PRIVATE BakkesModSDK::plugin BakkesModSDK::pluginsdk)
    # A Windows cross build with clang-cl brings the runtime an MSVC
    # installation would link by default.
    if(TARGET BakkesModSDK::msvc_runtime)
        target_link_libraries(${target} PRIVATE BakkesModSDK::msvc_runtime)
    endif()
    # __FILE__ in the descriptor names the source relative to the project.
    bakkesmod_relative_source_paths(${target} PRIVATE "${PROJECT_SOURCE_DIR}")
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # A unique symbol would pin the module in memory after dlclose.
        target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
    if(MSVC)
        # The host and its SDK library use the release C++ runtime, whose
        # standard types differ from the debug one's: a Debug build of the
        # module must use it too.
        set_target_properties(${target} PROPERTIES MSVC_RUNTIME_LIBRARY MultiThreadedDLL)
        # getPlugin and deleteMe have C linkage, and getPlugin hands an
        # allocation failure to its caller: extern "C" must be allowed to
        # throw (/EHs without c).
        target_compile_options(${target} PRIVATE /EHc-)
    endif()
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
        target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--as-needed
            "-Wl,--version-script=${_BAKKESMOD_PLUGIN_MODULE_MAP}")
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_BAKKESMOD_PLUGIN_MODULE_MAP}")
    endif()
endfunction()
