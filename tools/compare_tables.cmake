# Runs the table generator and compares its output with the checked-in file.
execute_process(COMMAND ${GEN} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gen_ibm_tables failed (${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${WANT} RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "generated ${OUT} differs from ${WANT}")
endif()
