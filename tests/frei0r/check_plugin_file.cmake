# qnr.so must stand alone in a frei0r folder: it exports the frei0r entry points
# and nothing else, and needs no library of this project beside it.
set(LIBRARY ${PLUGIN})
set(EXPECTED f0r_construct f0r_deinit f0r_destruct f0r_get_param_info f0r_get_param_value
             f0r_get_plugin_info f0r_init f0r_set_param_value f0r_update)
include(${CMAKE_CURRENT_LIST_DIR}/../host/check_exports.cmake)

execute_process(COMMAND objdump -p ${PLUGIN} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${PLUGIN}")
endif()
string(REGEX MATCHALL "NEEDED +[^\n]+" needed "${headers}")
foreach(entry ${needed})
  if(entry MATCHES "qnr|QNR|cuda")
    message(FATAL_ERROR "qnr.so needs a library that a frei0r folder does not hold: ${entry}")
  endif()
endforeach()
