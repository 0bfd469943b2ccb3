# velquist_msvc_import_library(<dll> <out-lib> READOBJ <llvm-readobj> LIB <llvm-lib>)
#
# Makes an MSVC import library for one of wine's builtin DLLs from the DLL's
# own export table. MSVC ships these import libraries with the Windows SDK
# and the compiler; wine's own .a import libraries lack most of msvcp140's
# C++ exports. An export whose address lies outside the DLL's code sections
# is data (std::cout, say) and is marked DATA, so that it is only ever
# reached through its __imp_ pointer.
function(velquist_msvc_import_library dll out_lib)
    cmake_parse_arguments(ARG "" "READOBJ;LIB" "" ${ARGN})
    get_filename_component(name "${dll}" NAME_WE)
    get_filename_component(out_dir "${out_lib}" DIRECTORY)

    execute_process(COMMAND "${ARG_READOBJ}" --sections "${dll}"
        OUTPUT_VARIABLE sections RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${ARG_READOBJ} cannot read the sections of ${dll}")
    endif()
    # Code sections as "start;end" pairs of RVAs.
    set(code_ranges)
    string(REGEX MATCHALL "VirtualSize: 0x[0-9A-F]+\n *VirtualAddress: 0x[0-9A-F]+\n[^]]*Characteristics \\[ \\(0x[0-9A-F]+\\)"
        section_list "${sections}")
    foreach(section IN LISTS section_list)
        string(REGEX MATCH "VirtualSize: (0x[0-9A-F]+)" _ "${section}")
        set(size ${CMAKE_MATCH_1})
        string(REGEX MATCH "VirtualAddress: (0x[0-9A-F]+)" _ "${section}")
        set(start ${CMAKE_MATCH_1})
        string(REGEX MATCH "Characteristics \\[ \\((0x[0-9A-F]+)\\)" _ "${section}")
        math(EXPR is_code "${CMAKE_MATCH_1} & 0x20")
        if(is_code)
            math(EXPR end "${start} + ${size}")
            math(EXPR start "${start}")
            list(APPEND code_ranges "${start}" "${end}")
        endif()
    endforeach()

    execute_process(COMMAND "${ARG_READOBJ}" --coff-exports "${dll}"
        OUTPUT_VARIABLE exports RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${ARG_READOBJ} cannot read the exports of ${dll}")
    endif()
    string(REGEX MATCHALL "Name: [^\n]+\n *(RVA|ForwardedTo): [^\n]+" entries "${exports}")
    set(def "LIBRARY ${name}.dll\nEXPORTS\n")
    foreach(entry IN LISTS entries)
        string(REGEX MATCH "Name: ([^\n]+)\n *(RVA|ForwardedTo): ([^\n]+)" _ "${entry}")
        set(symbol "${CMAKE_MATCH_1}")
        set(data "")
        if(CMAKE_MATCH_2 STREQUAL "RVA")
            math(EXPR rva "${CMAKE_MATCH_3}")
            set(data " DATA")
            set(ranges ${code_ranges})
            while(ranges)
                list(POP_FRONT ranges start end)
                if(rva GREATER_EQUAL start AND rva LESS end)
                    set(data "")
                    break()
                endif()
            endwhile()
        endif()
        string(APPEND def "    ${symbol}${data}\n")
    endforeach()

    file(MAKE_DIRECTORY "${out_dir}")
    file(WRITE "${out_dir}/${name}.def" "${def}")
    execute_process(COMMAND "${ARG_LIB}" /nologo /machine:x64 "/def:${out_dir}/${name}.def"
        "/out:${out_lib}" RESULT_VARIABLE failed ERROR_VARIABLE error OUTPUT_VARIABLE error)
    if(failed)
        message(FATAL_ERROR "${ARG_LIB} cannot make ${out_lib}: ${error}")
    endif()
endfunction()
