# Runs Doxygen on the public headers into a scratch folder; any warning (an
# undocumented public call, a parameter documented under a wrong name, a bad
# command) fails. Doxygen is silent about the calls of a header that has no
# @file block, so every header must have one.
file(GLOB headers "${HEADERS}/*.h" "${HEADERS}/*.hpp")
foreach(header IN LISTS headers)
  file(READ "${header}" text)
  if(NOT text MATCHES "@file")
    message(FATAL_ERROR "${header} has no @file block: Doxygen would pass over its calls")
  endif()
endforeach()
file(REMOVE_RECURSE "${OUTPUT}")
file(READ "${DOXYFILE}" config)
string(APPEND config "\nOUTPUT_DIRECTORY = ${OUTPUT}\nWARN_LOGFILE =\n")
file(WRITE "${OUTPUT}.Doxyfile" "${config}")
execute_process(COMMAND "${DOXYGEN}" "${OUTPUT}.Doxyfile" RESULT_VARIABLE rc ERROR_VARIABLE warnings)
file(REMOVE_RECURSE "${OUTPUT}" "${OUTPUT}.Doxyfile")
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "doxygen (${rc}):\n${warnings}")
endif()
message(STATUS "the public headers are documented without a warning")
