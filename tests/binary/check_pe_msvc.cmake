# Reads a built Windows plugin module and the SDK library with llvm-readobj
# and checks what the real host and its SDK library (MSVC binaries) rely on:
# the descriptor and entries exported undecorated, the plugin base class under
# its MSVC names, exactly the three SDK operations imported from pluginsdk.dll
# under their MSVC names, nothing imported but the MSVC runtime and kernel32,
# no GCC-mangled name anywhere, and the module's size.
#   cmake -DMODULE=Velquist.dll -DSDK=pluginsdk.dll -DREADOBJ=llvm-readobj-19
#         -DMAX_BYTES=16384 -P check_pe_msvc.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/expect_exports.cmake)

function(read_table file option out)
    execute_process(COMMAND ${READOBJ} ${option} ${file} OUTPUT_VARIABLE table RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${READOBJ} could not read ${file}")
    endif()
    set(${out} "${table}" PARENT_SCOPE)
endfunction()

function(export_names file out)
    read_table(${file} --coff-exports table)
    string(REGEX MATCHALL "Name: [^\n]+" names "${table}")
    list(TRANSFORM names REPLACE "^Name: " "")
    set(${out} "${names}" PARENT_SCOPE)
endfunction()

set(string "V?$basic_string@DU?$char_traits@D@std@@V?$allocator@D@2@@std@@")
set(sdk_operations
    "?getCvar@CVarManagerWrapper@@QEAA?AVCVarWrapper@@${string}@Z"
    "?setValue@CVarWrapper@@QEAAX${string}@Z"
    "??1CVarWrapper@@QEAA@XZ")

set(base "BakkesModPlugin@Plugin@BakkesMod@@")
export_names(${MODULE} exported)
expect_exports(ACTUAL ${exported} EXPECTED
    exports getPlugin deleteMe
    "??0${base}QEAA@XZ"                  # BakkesModPlugin()
    "??0${base}QEAA@AEBV012@@Z"          # BakkesModPlugin(const BakkesModPlugin&)
    "??0${base}QEAA@$$QEAV012@@Z"        # BakkesModPlugin(BakkesModPlugin&&)
    "??4${base}QEAAAEAV012@AEBV012@@Z"   # operator=(const BakkesModPlugin&)
    "??4${base}QEAAAEAV012@$$QEAV012@@Z" # operator=(BakkesModPlugin&&)
    "??1${base}QEAA@XZ"                  # ~BakkesModPlugin(), not virtual
    "?onLoad@${base}UEAAXXZ"
    "?onUnload@${base}UEAAXXZ"
    "??_7${base}6B@")                    # the virtual table

# Imports, grouped by DLL.
read_table(${MODULE} --coff-imports table)
string(REGEX MATCHALL "Name: [^\n]+|Symbol: [^ \n]+" entries "${table}")
set(dll "")
set(dlls)
set(sdk_imports)
foreach(entry IN LISTS entries)
    if(entry MATCHES "^Name: (.+)$")
        string(TOLOWER "${CMAKE_MATCH_1}" dll)
        list(APPEND dlls "${dll}")
    elseif(entry MATCHES "^Symbol: (.+)$" AND dll STREQUAL "pluginsdk.dll")
        list(APPEND sdk_imports "${CMAKE_MATCH_1}")
    endif()
endforeach()
list(SORT sdk_imports)
set(expected_sdk_imports ${sdk_operations})
list(SORT expected_sdk_imports)
if(NOT sdk_imports STREQUAL expected_sdk_imports)
    message(FATAL_ERROR "imports from pluginsdk.dll: '${sdk_imports}', expected '${expected_sdk_imports}'")
endif()
foreach(dll IN LISTS dlls)
    if(NOT dll MATCHES "^(pluginsdk|kernel32|vcruntime140(_1)?|msvcp140(_[12])?|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
        message(FATAL_ERROR "imports ${dll}, which is neither pluginsdk.dll, the MSVC runtime nor kernel32.dll")
    endif()
endforeach()

# The SDK library must offer those operations under the same names.
export_names(${SDK} sdk_exports)
foreach(operation IN LISTS sdk_operations)
    if(NOT operation IN_LIST sdk_exports)
        message(FATAL_ERROR "${SDK} does not export ${operation}")
    endif()
endforeach()

# GCC's names (_ZN…, _ZT…), libstdc++'s string and its unwinder must not
# appear anywhere in the module, not even in a string table.
file(STRINGS ${MODULE} gcc_names REGEX "_Z[NTSKL][0-9A-Za-z_]|__cxx11|__gxx_personality|_Unwind_")
if(gcc_names)
    message(FATAL_ERROR "holds GCC-ABI names: ${gcc_names}")
endif()

file(SIZE ${MODULE} size)
if(MAX_BYTES AND size GREATER MAX_BYTES)
    message(FATAL_ERROR "is ${size} bytes, more than ${MAX_BYTES}")
endif()
message(STATUS "${MODULE}: MSVC-ABI exports and imports as expected (${dlls}), ${size} bytes")
