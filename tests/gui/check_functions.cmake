# Fails when a Qt Test program has test functions that CTest does not run.
execute_process(COMMAND ${PROGRAM} -functions OUTPUT_VARIABLE out RESULT_VARIABLE rc
                TIMEOUT 50)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} -functions failed: ${rc}")
endif()
string(REGEX REPLACE "\\(\\)" "" out "${out}")
string(STRIP "${out}" out)
string(REGEX REPLACE "\n" "," actual "${out}")
if(NOT actual STREQUAL EXPECTED)
  message(FATAL_ERROR "test functions: ${actual}\nregistered:     ${EXPECTED}")
endif()
