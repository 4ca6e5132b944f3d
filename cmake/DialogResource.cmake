# Dialog templates from a resource script. Windows builds link the compiled script
# into the module. Other builds compile it with the same resource compiler, the
# mingw-w64 windres, and embed one dialog's bytes as a C++ array, which the module
# hands to the Win32 stand-in when it loads.
if(NOT WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/RequiredTool.cmake)
  qnr_require_program(QNR_WINDRES x86_64-w64-mingw32-windres
    PACKAGE binutils-mingw-w64-x86-64
    PURPOSE "It compiles the dialog template res/qnr.rc.")
  qnr_require_program(QNR_WINDRES_PREPROCESSOR x86_64-w64-mingw32-gcc x86_64-w64-mingw32-gcc-posix
    PACKAGE gcc-mingw-w64-x86-64-posix
    PURPOSE "windres runs it to preprocess res/qnr.rc (which includes <windows.h> and <commctrl.h>); the package brings the mingw-w64 headers as well.")
endif()

# Adds dialog `dialog_id` of `rc_file` to `target`: on Windows the whole compiled
# script, elsewhere a generated source file that defines <symbol>_bytes,
# <symbol>_size, <symbol>_language and <symbol>_id.
function(qnr_add_dialog_resource target rc_file dialog_id symbol)
  if(WIN32)
    target_sources(${target} PRIVATE ${rc_file})
    return()
  endif()
  get_filename_component(rc_name ${rc_file} NAME_WE)
  set(res_file ${CMAKE_CURRENT_BINARY_DIR}/${rc_name}.res)
  set(cpp_file ${CMAKE_CURRENT_BINARY_DIR}/${symbol}.cpp)
  add_custom_command(
    OUTPUT ${res_file}
    COMMAND ${QNR_WINDRES} --preprocessor=${QNR_WINDRES_PREPROCESSOR}
            --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED
            --include-dir=${CMAKE_BINARY_DIR}/generated -i ${rc_file} -O res -o ${res_file}
    DEPENDS ${rc_file} ${CMAKE_BINARY_DIR}/generated/qnr_version.h
    COMMENT "Compiling resource script ${rc_name}.rc"
    VERBATIM)
  add_custom_command(
    OUTPUT ${cpp_file}
    COMMAND ${CMAKE_COMMAND} -DRES=${res_file} -DOUT=${cpp_file} -DDIALOG_ID=${dialog_id}
            -DSYMBOL=${symbol} -P ${PROJECT_SOURCE_DIR}/cmake/EmbedDialogResource.cmake
    DEPENDS ${res_file} ${PROJECT_SOURCE_DIR}/cmake/EmbedDialogResource.cmake
    COMMENT "Embedding dialog ${dialog_id} of ${rc_name}.rc"
    VERBATIM)
  target_sources(${target} PRIVATE ${cpp_file})
endfunction()
