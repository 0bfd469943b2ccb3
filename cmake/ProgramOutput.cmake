# Writes what PROGRAM prints when run with ARGUMENTS (a list) to OUTPUT, and
# fails when it fails: cmake -DPROGRAM=... -DARGUMENTS=... -DOUTPUT=... -P.
execute_process(COMMAND "${PROGRAM}" ${ARGUMENTS} OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "${PROGRAM} ${ARGUMENTS}: ${result}")
endif()
