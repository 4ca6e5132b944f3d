# QNR-<version>-win64.zip, the release for Windows users, made from the module
# this build links and tests: the module, a plain-text guide, the licence and
# SHA256SUMS. The same sources give the same archive byte for byte (fixed file
# times and order, no owner or extra fields; see Archive.cmake).
find_program(QNR_ZIP zip)
if(NOT QNR_ZIP)
  message(STATUS "QNR: zip not found; the release archive QNR-${PROJECT_VERSION}-win64.zip "
                 "is not made (Debian package zip)")
  return()
endif()

set(QNR_WINDOWS_ARCHIVE ${CMAKE_BINARY_DIR}/QNR-${PROJECT_VERSION}-win64.zip
    CACHE INTERNAL "The Windows release archive")
add_custom_command(
  OUTPUT ${QNR_WINDOWS_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:qnr_module>
          -DVERSION_HEADER=${CMAKE_BINARY_DIR}/generated/qnr_version.h
          -DGPU_CODE=${QNR_HAVE_KERNEL_IMAGE} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DZIP=${QNR_ZIP} -DWORK=${CMAKE_CURRENT_BINARY_DIR}/archive
          -DOUTPUT=${QNR_WINDOWS_ARCHIVE}
          -P ${CMAKE_CURRENT_LIST_DIR}/Archive.cmake
  DEPENDS qnr_module ${CMAKE_CURRENT_LIST_DIR}/Archive.cmake
          ${CMAKE_CURRENT_LIST_DIR}/README.txt.in ${CMAKE_CURRENT_LIST_DIR}/THIRD-PARTY.txt
          ${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/generated/qnr_version.h
  COMMENT "Release archive QNR-${PROJECT_VERSION}-win64.zip"
  VERBATIM)
add_custom_target(qnr_windows_archive ALL DEPENDS ${QNR_WINDOWS_ARCHIVE})
