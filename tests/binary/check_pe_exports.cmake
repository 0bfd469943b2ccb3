# Reads a built Windows plugin module's export and import tables and checks
# that it exports the descriptor and entries undecorated, plus the plugin base
# class, and that it imports the SDK operations from pluginsdk.dll and
# nothing but system DLLs besides.
#   cmake -DMODULE=Velquist.dll -DOBJDUMP=x86_64-w64-mingw32-objdump -P check_pe_exports.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/expect_exports.cmake)

execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${OBJDUMP} could not read ${MODULE}")
endif()
string(REPLACE "\n" ";" lines "${dump}")

set(section "")
set(dll "")
set(exported)
set(imported_dlls)
set(sdk_imports)
foreach(line IN LISTS lines)
    if(line MATCHES "^The Import Tables")
        set(section imports)
    elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
        set(section exports)
    elseif(line MATCHES "^The Function Table|^There is|^PE File Base Relocations")
        set(section "")
    elseif(section STREQUAL "imports" AND line MATCHES "DLL Name: (.+)$")
        set(dll "${CMAKE_MATCH_1}")
        list(APPEND imported_dlls "${dll}")
    elseif(section STREQUAL "imports" AND dll STREQUAL "pluginsdk.dll"
           AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+  ([^ ]+)")
        list(APPEND sdk_imports "${CMAKE_MATCH_1}")
    elseif(section STREQUAL "exports" AND line MATCHES "^\t\\[ *[0-9]+\\] (.+)$")
        list(APPEND exported "${CMAKE_MATCH_1}")
    endif()
endforeach()

set(base "N9BakkesMod6Plugin15BakkesModPlugin")
set(expected_exports exports getPlugin deleteMe
    _Z${base}6onLoadEv _Z${base}8onUnloadEv
    _Z${base}C1Ev _Z${base}C2Ev _Z${base}C1ERKS1_ _Z${base}C2ERKS1_ _Z${base}C1EOS1_ _Z${base}C2EOS1_
    _Z${base}aSERKS1_ _Z${base}aSEOS1_ _Z${base}D1Ev _Z${base}D2Ev
    _ZTV${base}E _ZTI${base}E)
expect_exports(ACTUAL ${exported} EXPECTED ${expected_exports} OPTIONAL _ZTS${base}E)

set(string_type "NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE")
set(expected_sdk_imports
    _ZN18CVarManagerWrapper7getCvarE${string_type}
    _ZN11CVarWrapper8setValueE${string_type}
    _ZN11CVarWrapperD1Ev)
list(SORT sdk_imports)
list(SORT expected_sdk_imports)
if(NOT sdk_imports STREQUAL expected_sdk_imports)
    message(FATAL_ERROR "imports from pluginsdk.dll: '${sdk_imports}', expected '${expected_sdk_imports}'")
endif()

foreach(imported IN LISTS imported_dlls)
    string(TOLOWER "${imported}" name)
    if(NOT name MATCHES "^(pluginsdk|kernel32|msvcrt|ucrtbase|ntdll|advapi32|user32|api-ms-win-.*)\\.dll$")
        message(FATAL_ERROR "imports ${imported}, which is neither pluginsdk.dll nor a system DLL")
    endif()
endforeach()
message(STATUS "${MODULE}: exports and imports as expected (${imported_dlls})")
