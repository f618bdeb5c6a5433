# Runs a program at build time, through RUNNER (Wine) when given, in WORKING_DIRECTORY, with its
# output in LOG: Wine's service processes inherit the output handles of the call that starts them,
# and would otherwise hold the build tool's pipe open.
execute_process(COMMAND ${RUNNER} ${PROGRAM} ${ARGS}
                WORKING_DIRECTORY ${WORKING_DIRECTORY}
                OUTPUT_FILE ${LOG} ERROR_FILE ${LOG}
                TIMEOUT 300
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(READ ${LOG} output)
    message(FATAL_ERROR "${PROGRAM} failed (${result}):\n${output}")
endif()
