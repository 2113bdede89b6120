# Fails unless every object in FILES is of format EXPECTED (objdump's name,
# e.g. pe-i386), so that a build for the wrong machine cannot pass unseen.
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${OBJDUMP} -f ${file}
    OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -f ${file} failed")
  endif()
  string(REGEX MATCHALL "file format [^\n]+" formats "${out}")
  list(REMOVE_DUPLICATES formats)
  if(NOT formats STREQUAL "file format ${EXPECTED}")
    message(FATAL_ERROR "${file}: expected only ${EXPECTED}, found: ${formats}")
  endif()
  message(STATUS "${file}: ${formats}")
endforeach()
