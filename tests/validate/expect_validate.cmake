# Runs `velmora validate` and checks its verdict: every check in FAILING
# reported as failed (and the exit status non-zero), or, with FAILING empty,
# a clean pass.
execute_process(
    COMMAND ${TOOL} validate --module ${MODULE} --check ${CHECKS}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors)
message("${output}${errors}")
if(FAILING STREQUAL "")
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "the validator failed a module without a fault")
    endif()
    return()
endif()
if(status EQUAL 0)
    message(FATAL_ERROR "the validator passed a module with the fault ${FAULT}")
endif()
foreach(check IN LISTS FAILING)
    if(NOT output MATCHES "\n  FAIL  ${check} ")
        message(FATAL_ERROR "the fault ${FAULT} does not fail the ${check} check")
    endif()
endforeach()
