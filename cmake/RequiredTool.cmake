# Required tools and libraries, found so that a failed configure heals itself:
# a missing one stops the configure with the Debian package that brings it, and
# nothing is left in the cache that keeps the next configure from searching again.
include_guard(GLOBAL)

# qnr_require_program(<var> <name>... PACKAGE <debian-package> PURPOSE <text>)
# Finds a program into the cache variable <var>. find_program searches again on
# every configure while the variable holds NOTFOUND; the NOTFOUND entry is removed
# all the same before failing, so no later step can use it as a path.
function(qnr_require_program var)
  cmake_parse_arguments(ARG "" "PACKAGE;PURPOSE" "" ${ARGN})
  find_program(${var} NAMES ${ARG_UNPARSED_ARGUMENTS})
  if(NOT ${var})
    unset(${var} CACHE)
    list(GET ARG_UNPARSED_ARGUMENTS 0 first)
    message(FATAL_ERROR "${first} was not found. ${ARG_PURPOSE} "
                        "On Debian install the package ${ARG_PACKAGE} (scripts/install-deps does).")
  endif()
endfunction()

# qnr_require_package(<name> PACKAGE <debian-package> [TARGETS <target>...] [COMPONENTS ...])
# find_package in config or module mode, then a check that the imported targets
# the build links exist; a miss names the Debian package that brings them.
macro(qnr_require_package name)
  cmake_parse_arguments(QNR_REQ "" "PACKAGE" "TARGETS;COMPONENTS" ${ARGN})
  if(QNR_REQ_COMPONENTS)
    find_package(${name} QUIET COMPONENTS ${QNR_REQ_COMPONENTS})
  else()
    find_package(${name} QUIET)
  endif()
  set(qnr_req_missing "")
  if(NOT ${name}_FOUND)
    set(qnr_req_missing "${name}")
  endif()
  foreach(qnr_req_target ${QNR_REQ_TARGETS})
    if(NOT TARGET ${qnr_req_target})
      list(APPEND qnr_req_missing ${qnr_req_target})
    endif()
  endforeach()
  if(qnr_req_missing)
    message(FATAL_ERROR "${qnr_req_missing} not found. On Debian install the package "
                        "${QNR_REQ_PACKAGE} (scripts/install-deps does).")
  endif()
endmacro()
