# A library must export exactly the names it promises and nothing else.
#   cmake -DLIBRARY=file [-DEXPECTED="a;b"] -P check_exports.cmake
# Without EXPECTED, the filter module's two entry points. Other scripts set the
# two variables and include this file.
if(NOT DEFINED EXPECTED)
  set(EXPECTED VirtualdubFilterModuleDeinit VirtualdubFilterModuleInit2)
endif()
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" lines "${out}")
set(names "")
foreach(line ${lines})
  string(STRIP "${line}" name)
  list(APPEND names ${name})
endforeach()
list(SORT names)
list(SORT EXPECTED)
if(NOT names STREQUAL EXPECTED)
  message(FATAL_ERROR "${LIBRARY} exports: ${names}")
endif()
