# Reads a built plugin module's dynamic symbol table and checks that it shows
# the host exactly its interface, imports the SDK operations, and holds
# nothing that would keep it in memory after it is unloaded.
#   cmake -DMODULE=Velquist.so -DNM=nm -DREADELF=readelf -P check_elf_symbols.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/expect_exports.cmake)

function(symbols out)
    execute_process(COMMAND ${NM} -D -C --format=posix ${ARGN} ${MODULE}
        OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${NM} could not read ${MODULE}")
    endif()
    string(REGEX REPLACE " [A-Za-z] [0-9a-f ]*\n" ";" listing "${listing}")
    string(REGEX REPLACE " [A-Za-z]\n" ";" listing "${listing}")
    list(FILTER listing EXCLUDE REGEX "^$")
    set(${out} "${listing}" PARENT_SCOPE)
endfunction()

symbols(exported --defined-only)
symbols(imported --undefined-only)

set(base "BakkesMod::Plugin::BakkesModPlugin")
set(expected_exports
    "exports" "getPlugin" "deleteMe"
    "${base}::BakkesModPlugin()"
    "${base}::BakkesModPlugin(${base} const&)"
    "${base}::BakkesModPlugin(${base}&&)"
    "${base}::operator=(${base} const&)"
    "${base}::operator=(${base}&&)"
    "${base}::~BakkesModPlugin()"
    "${base}::onLoad()"
    "${base}::onUnload()"
    "vtable for ${base}"
    "typeinfo for ${base}"
    "typeinfo name for ${base}")
list(REMOVE_DUPLICATES exported)
expect_exports(ACTUAL ${exported} EXPECTED ${expected_exports})

foreach(operation
        "CVarManagerWrapper::getCvar(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >)"
        "CVarWrapper::setValue(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >)"
        "CVarWrapper::~CVarWrapper()")
    if(NOT operation IN_LIST imported)
        message(FATAL_ERROR "does not import ${operation}")
    endif()
endforeach()

execute_process(COMMAND ${READELF} -d ${MODULE} OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "NEEDED\\) +Shared library: \\[libpluginsdk\\.so\\]")
    message(FATAL_ERROR "does not link the SDK library dynamically")
endif()

execute_process(COMMAND ${READELF} --dyn-syms -W ${MODULE} OUTPUT_VARIABLE table)
if(table MATCHES "UNIQUE")
    message(FATAL_ERROR "holds unique symbols, which keep it loaded after dlclose")
endif()
message(STATUS "${MODULE}: exports and imports as expected")
