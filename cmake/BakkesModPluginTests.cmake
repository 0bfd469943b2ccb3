# bakkesmod_add_plugin_tests(<target>
#     [STRICT]                      fail a test on any plugin-host warning
#     [SET NAME=VALUE ...]          console variables to register or preset
#     [TIMEOUT SECONDS]             plugin-host's step limit
#     [TEST_PREFIX PREFIX]          default: "<target>."
#     [LABELS LABEL ...])           default: plugin-host
#
# Registers plugin-host's named tests of the module contract on a plugin
# module target as CTest tests, one each: "<target>.lifecycle" runs
# `plugin-host --test lifecycle <module>`. The names are asked of plugin-host
# itself (--list-tests) each time ctest reads the tests, so they are always
# the ones the installed plugin-host runs.
include_guard(GLOBAL)

set(_BAKKESMOD_DISCOVER_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/BakkesModDiscoverPluginTests.cmake")

# plugin-host's options for STRICT, SET and TIMEOUT, into `out`; `caller`
# names the function in a message.
function(_bakkesmod_host_arguments out caller strict timeout)
    set(arguments)
    if(strict)
        list(APPEND arguments --strict)
    endif()
    foreach(preset IN LISTS ARGN)
        if(NOT preset MATCHES "^[^=]+=")
            message(FATAL_ERROR "${caller}: SET takes NAME=VALUE, got '${preset}'")
        endif()
        list(APPEND arguments --set "${preset}")
    endforeach()
    if(NOT timeout STREQUAL "")
        list(APPEND arguments --timeout "${timeout}")
    endif()
    set(${out} "${arguments}" PARENT_SCOPE)
endfunction()

# Has ctest read `content` (the discovery script's settings), per
# configuration, each time it reads the tests of this folder.
function(_bakkesmod_discover_at_test_time stem content)
    file(GENERATE OUTPUT "${stem}_$<CONFIG>.cmake" CONTENT "${content}")
    get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
    if(multi_config)
        set(config "\${CTEST_CONFIGURATION_TYPE}")
    else()
        set(config "${CMAKE_BUILD_TYPE}")
    endif()
    file(WRITE "${stem}.cmake" "include(\"${stem}_${config}.cmake\")\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${stem}.cmake")
endfunction()

function(bakkesmod_add_plugin_tests target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "STRICT" "TIMEOUT;TEST_PREFIX" "SET;LABELS")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "bakkesmod_add_plugin_tests(${target}): unknown arguments: "
            "${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT TARGET ${target})
        message(FATAL_ERROR "bakkesmod_add_plugin_tests(${target}): no such target")
    endif()
    if(NOT DEFINED arg_TEST_PREFIX)
        set(arg_TEST_PREFIX "${target}.")
    endif()
    if(NOT arg_LABELS)
        set(arg_LABELS plugin-host)
    endif()

    _bakkesmod_host_arguments(arguments "bakkesmod_add_plugin_tests(${target})"
        "${arg_STRICT}" "${arg_TIMEOUT}" ${arg_SET})

    # What ctest needs, per configuration; read by the discovery script.
    _bakkesmod_discover_at_test_time("${CMAKE_CURRENT_BINARY_DIR}/${target}_plugin_tests"
"set(_bakkesmod_host [==[$<TARGET_FILE:BakkesModSDK::plugin-host>]==])
set(_bakkesmod_module [==[$<TARGET_FILE:${target}>]==])
set(_bakkesmod_emulator [==[${CMAKE_CROSSCOMPILING_EMULATOR}]==])
set(_bakkesmod_arguments [==[${arguments}]==])
set(_bakkesmod_prefix [==[${arg_TEST_PREFIX}]==])
set(_bakkesmod_labels [==[${arg_LABELS}]==])
include([==[${_BAKKESMOD_DISCOVER_SCRIPT}]==])
")
endfunction()

# bakkesmod_add_plugin_folder_tests(<folder>
#     [STRICT]                      fail a module on any plugin-host warning
#     [SET NAME=VALUE ...]          console variables to register or preset
#     [TIMEOUT SECONDS]             plugin-host's step limit
#     [TEST_PREFIX PREFIX]          default: "plugins."
#     [LABELS LABEL ...])           default: plugin-host
#
# Registers every plugin module directly in <folder> (a plugin pack, the
# uploads a store checks) as a CTest test of its own: "<prefix><name>" runs
# `plugin-host <module>`, every named test of it. The folder is read each
# time ctest reads the tests, so a module dropped into it is tested without
# configuring again; a folder with no module gives one test, "<prefix>folder",
# that fails with plugin-host's own line saying so.
set(_BAKKESMOD_DISCOVER_FOLDER_SCRIPT
    "${CMAKE_CURRENT_LIST_DIR}/BakkesModDiscoverFolderTests.cmake")

function(bakkesmod_add_plugin_folder_tests folder)
    cmake_parse_arguments(PARSE_ARGV 1 arg "STRICT" "TIMEOUT;TEST_PREFIX" "SET;LABELS")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "bakkesmod_add_plugin_folder_tests(${folder}): unknown arguments: "
            "${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT DEFINED arg_TEST_PREFIX)
        set(arg_TEST_PREFIX "plugins.")
    endif()
    if(NOT arg_LABELS)
        set(arg_LABELS plugin-host)
    endif()
    get_filename_component(folder "${folder}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    _bakkesmod_host_arguments(arguments "bakkesmod_add_plugin_folder_tests(${folder})"
        "${arg_STRICT}" "${arg_TIMEOUT}" ${arg_SET})
    # A module's file name ending on the system the modules are built for.
    if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
        set(suffix ".dll")
    else()
        set(suffix ".so")
    endif()

    string(MAKE_C_IDENTIFIER "${arg_TEST_PREFIX}${folder}" id)
    _bakkesmod_discover_at_test_time("${CMAKE_CURRENT_BINARY_DIR}/${id}_folder_tests"
"set(_bakkesmod_host [==[$<TARGET_FILE:BakkesModSDK::plugin-host>]==])
set(_bakkesmod_folder [==[${folder}]==])
set(_bakkesmod_suffix [==[${suffix}]==])
set(_bakkesmod_emulator [==[${CMAKE_CROSSCOMPILING_EMULATOR}]==])
set(_bakkesmod_arguments [==[${arguments}]==])
set(_bakkesmod_prefix [==[${arg_TEST_PREFIX}]==])
set(_bakkesmod_labels [==[${arg_LABELS}]==])
include([==[${_BAKKESMOD_DISCOVER_FOLDER_SCRIPT}]==])
")
endfunction()
