# cmake -DPROGRAM=... -DARGUMENTS=a;b;c -P any_verdict.cmake
#
# Passes when the program ends with one of plugin-host's own exit codes
# (0 to 3: whatever it made of the plugin) and no sanitizer said a word.
execute_process(COMMAND "${PROGRAM}" ${ARGUMENTS}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
if(NOT result MATCHES "^[0-3]$")
    message(FATAL_ERROR "${PROGRAM} ended with ${result}\n${error}")
endif()
if("${output}${error}" MATCHES "ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:")
    message(FATAL_ERROR "a sanitizer found a fault in ${PROGRAM}\n${error}")
endif()
