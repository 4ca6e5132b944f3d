# Writes the manual page qnr.1: `qnr --help` through help-to-man.awk, then the
# hand-written sections of TAIL. The page's date is today's, or the one
# SOURCE_DATE_EPOCH gives (string(TIMESTAMP) reads it), so a package build
# makes the same page every time.
#
#   cmake -DQNR=qnr -DVERSION=3.6.1 -DCONVERTER=help-to-man.awk -DTAIL=qnr-tail.roff
#         -DOUTPUT=qnr.1 -P ManPage.cmake
foreach(var QNR VERSION CONVERTER TAIL OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ManPage.cmake needs -D${var}=...")
  endif()
endforeach()

# A sanitizer build's qnr runs here too; its leak report is not the page.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
execute_process(COMMAND ${QNR} --help OUTPUT_FILE ${OUTPUT}.help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${QNR} --help failed (${status})")
endif()
string(TIMESTAMP date "%Y-%m-%d" UTC)
execute_process(
  COMMAND awk -v version=${VERSION} -v date=${date} -f ${CONVERTER} ${OUTPUT}.help
  OUTPUT_VARIABLE body RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "awk could not turn qnr --help into a manual page (${status})")
endif()
file(READ ${TAIL} tail)
file(WRITE ${OUTPUT}.tmp "${body}${tail}")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
file(REMOVE ${OUTPUT}.help)
