# Run by cpack after it installed each component into its staging directory
# and before it splits the debug information off: removes the .comment
# section (compiler version strings, which the C runtime's start files bring
# in whatever the flags) from every ELF file, as Debian's strip does.
# (The target's objcopy, for a tree built for another processor.)
find_program(ZORV_OBJCOPY NAMES ${CPACK_ZORV_OBJCOPY} objcopy REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(f IN LISTS staged)
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  file(READ "${f}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND ${ZORV_OBJCOPY} --remove-section=.comment "${f}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "objcopy --remove-section=.comment ${f} failed")
    endif()
  endif()
endforeach()
