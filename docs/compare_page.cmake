# Makes a generated page of the guide afresh and compares it with the one in
# docs/; they differ when the library's tables changed and the page was not
# made again (cmake --build build --target update_docs).
execute_process(COMMAND ${GEN} ${PAGE} ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gen_docs ${PAGE} failed (${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${WANT} RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "docs/${PAGE}.md is not what the library's tables give; "
    "run: cmake --build build --target update_docs")
endif()
