# Shotcut's filter folder for QNR as `cmake --install` lays it out beside the
# plug-in, and in step with it: the MLT service, and for every parameter of
# the Kdenlive description the same property name, range and whole steps.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD} failed")
endif()

set(folder ${PREFIX}/share/shotcut/qml/filters/qnr)
foreach(file ${PREFIX}/lib/frei0r-1/qnr.so ${folder}/meta.qml ${folder}/ui.qml)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "cmake --install did not put ${file} in place")
  endif()
endforeach()
file(READ ${folder}/meta.qml meta)
file(READ ${folder}/ui.qml ui)
file(READ ${KDENLIVE} kdenlive)

function(require text pattern what)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "the Shotcut folder lacks ${what}")
  endif()
endfunction()
require("${meta}" "mlt_service: 'frei0r\\.qnr'" "the service frei0r.qnr in meta.qml")
require("${meta}" "qml: 'ui\\.qml'" "its panel ui.qml in meta.qml")
# MLT's threads property cuts frames into strips that are filtered apart.
if(ui MATCHES "['\"]threads['\"]" OR meta MATCHES "['\"]threads['\"]")
  message(FATAL_ERROR "the Shotcut folder sets MLT's threads property on the filter")
endif()

string(REGEX MATCHALL "<parameter [^>]*>" parameters "${kdenlive}")
list(LENGTH parameters count)
if(count LESS 5)
  message(FATAL_ERROR "found ${count} parameters in ${KDENLIVE}")
endif()
foreach(parameter ${parameters})
  string(REGEX REPLACE ".* name=\"([^\"]+)\".*" "\\1" name "${parameter}")
  require("${ui}" ": '${name}'\n" "the property '${name}' in ui.qml")
  if(parameter MATCHES "type=\"animated\"")
    # A slider named after the parameter, over the same range in whole steps,
    # with keyframes.
    string(REGEX REPLACE ".* max=\"([0-9]+)\".*" "\\1" max "${parameter}")
    require("${ui}" "id: ${name}Slider[^}]*maximumValue: ${max}[^}]*stepSize: 1[^}]*decimals: 0"
            "a slider for ${name} from 0 to ${max} in whole steps")
    require("${meta}" "property: '${name}'" "keyframes for ${name} in meta.qml")
  endif()
endforeach()
