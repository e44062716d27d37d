# Runs kelscreenbench with ARGS (blank-separated) and fails unless it ends
# with status 0 and its report has a line matching each of LINES
# ("|"-separated regular expressions).
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${BENCH} ${args} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the bench ended with status ${status}")
endif()
string(REPLACE "|" ";" lines "${LINES}")
foreach(line IN LISTS lines)
    if(NOT out MATCHES "(^|\n)${line}")
        message(FATAL_ERROR "the report has no line matching '${line}'")
    endif()
endforeach()
