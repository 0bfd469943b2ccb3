# Run by ctest, for one plugin module: asks plugin-host for its named tests
# and adds a CTest test for each. Set by the caller: _bakkesmod_host,
# _bakkesmod_module, _bakkesmod_emulator, _bakkesmod_arguments,
# _bakkesmod_prefix, _bakkesmod_labels.
execute_process(COMMAND ${_bakkesmod_emulator} "${_bakkesmod_host}" --list-tests
    RESULT_VARIABLE _bakkesmod_result
    OUTPUT_VARIABLE _bakkesmod_listing
    ERROR_VARIABLE _bakkesmod_error)
if(NOT _bakkesmod_result EQUAL 0)
    # One failing test that runs the listing again, so the reason shows
    # where the developer looks: in the test's output.
    message(WARNING "${_bakkesmod_host} --list-tests failed (${_bakkesmod_result}): "
        "${_bakkesmod_error}")
    add_test("${_bakkesmod_prefix}list-tests" ${_bakkesmod_emulator} "${_bakkesmod_host}"
        --list-tests)
    set_tests_properties("${_bakkesmod_prefix}list-tests" PROPERTIES
        LABELS "${_bakkesmod_labels}")
    return()
endif()

# A test's name starts a line; what it checks follows, indented.
string(REPLACE "\r" "" _bakkesmod_listing "${_bakkesmod_listing}")
string(REGEX MATCHALL "(^|\n)[^ \t\n]+" _bakkesmod_names "${_bakkesmod_listing}")
foreach(_bakkesmod_name IN LISTS _bakkesmod_names)
    string(STRIP "${_bakkesmod_name}" _bakkesmod_name)
    add_test("${_bakkesmod_prefix}${_bakkesmod_name}" ${_bakkesmod_emulator} "${_bakkesmod_host}"
        --test "${_bakkesmod_name}" ${_bakkesmod_arguments} -- "${_bakkesmod_module}")
    set_tests_properties("${_bakkesmod_prefix}${_bakkesmod_name}" PROPERTIES
        LABELS "${_bakkesmod_labels}")
endforeach()
