# Runs one Windows test program under Wine and judges it by GoogleTest's own result lines as
# well as its exit status: a program that never ran (a Wine without the program's architecture
# exits 0 and prints nothing) must not count as passed.
#   cmake -DEMULATOR=wine -DPROGRAM=prog.exe -P GTestUnderWine.cmake
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --gtest_brief=1
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(REPLACE "\r" "" output "${output}")
message("${output}")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM}: exit status ${status}")
endif()
if(NOT output MATCHES "\n\\[  PASSED  \\] [1-9][0-9]* tests?\\." OR
   output MATCHES "\\[  FAILED  \\]")
    message(FATAL_ERROR "${PROGRAM}: no GoogleTest line saying its tests passed")
endif()
