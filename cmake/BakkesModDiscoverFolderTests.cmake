# Run by ctest, for one folder of plugin modules: adds a CTest test for each
# module directly in it, in name order. Set by the caller: _bakkesmod_host,
# _bakkesmod_folder, _bakkesmod_suffix, _bakkesmod_emulator,
# _bakkesmod_arguments, _bakkesmod_prefix, _bakkesmod_labels.
file(GLOB _bakkesmod_modules LIST_DIRECTORIES false "${_bakkesmod_folder}/*${_bakkesmod_suffix}")
list(SORT _bakkesmod_modules)
if(NOT _bakkesmod_modules)
    # One failing test, so the reason shows where the developer looks.
    add_test("${_bakkesmod_prefix}folder" ${_bakkesmod_emulator} "${_bakkesmod_host}"
        ${_bakkesmod_arguments} -- "${_bakkesmod_folder}")
    set_tests_properties("${_bakkesmod_prefix}folder" PROPERTIES LABELS "${_bakkesmod_labels}")
    return()
endif()
foreach(_bakkesmod_module IN LISTS _bakkesmod_modules)
    get_filename_component(_bakkesmod_name "${_bakkesmod_module}" NAME_WE)
    add_test("${_bakkesmod_prefix}${_bakkesmod_name}" ${_bakkesmod_emulator} "${_bakkesmod_host}"
        ${_bakkesmod_arguments} -- "${_bakkesmod_module}")
    set_tests_properties("${_bakkesmod_prefix}${_bakkesmod_name}" PROPERTIES
        LABELS "${_bakkesmod_labels}")
endforeach()
