# Makes the Windows release archive:
#
#   QNR-<version>-win64/QNR_CUDA.vdf   the module, as built
#   QNR-<version>-win64/README.txt     the guide (README.txt.in)
#   QNR-<version>-win64/LICENSE.txt    LICENSE, then THIRD-PARTY.txt
#   QNR-<version>-win64/SHA256SUMS     sums of the three, for sha256sum -c
#
#   cmake -DMODULE=QNR_CUDA.vdf -DVERSION_HEADER=qnr_version.h -DGPU_CODE=ON|OFF
#         -DSOURCE_DIR=. -DZIP=zip -DWORK=dir -DOUTPUT=QNR-3.6.1-win64.zip -P Archive.cmake
#
# Byte for byte the same from the same sources: every file gets one time, the
# commit's (or SOURCE_DATE_EPOCH), and one mode; zip stores them in a fixed
# order, in UTC, without owners or extra time fields (-X) or folder entries.
foreach(var MODULE VERSION_HEADER GPU_CODE SOURCE_DIR ZIP WORK OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "Archive.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ ${VERSION_HEADER} header)
string(REGEX MATCH "#define QNR_VERSION_TEXT \"([^\"]+)\"" found "${header}")
set(version ${CMAKE_MATCH_1})
string(REGEX MATCH "#define QNR_FILTER_NAME \"([^\"]+)\"" found "${header}")
set(filter_name ${CMAKE_MATCH_1})
if(NOT version OR NOT filter_name)
  message(FATAL_ERROR "${VERSION_HEADER} names no version or filter")
endif()

set(epoch $ENV{SOURCE_DATE_EPOCH})
if(NOT epoch)
  execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  set(epoch 315705600)  # 1980-01-02, the earliest time a zip entry holds
endif()

set(name QNR-${version}-win64)
set(dir ${WORK}/${name})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${dir})

# Text files with Windows line ends, so every editor shows them as written.
function(write_windows_text path text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${path} "${text}")
endfunction()

set(QNR_VERSION ${version})
set(QNR_FILTER_NAME ${filter_name})
string(LENGTH "QNR ${version} for 64-bit Windows" title_length)
string(REPEAT "=" ${title_length} QNR_TITLE_RULE)
if(GPU_CODE)
  set(QNR_GPU_NOTE "This build carries GPU code: machine code for every GPU generation from
Turing on, and PTX that the driver compiles for later ones.")
else()
  set(QNR_GPU_NOTE "This build was made without the CUDA toolkit and carries no GPU code:
every frame takes the CPU path, whatever the GPU. What follows holds for a
build made with the CUDA 13 toolkit.")
endif()
file(READ ${CMAKE_CURRENT_LIST_DIR}/README.txt.in guide)
string(CONFIGURE "${guide}" guide @ONLY)
write_windows_text(${dir}/README.txt "${guide}")

file(READ ${SOURCE_DIR}/LICENSE licence)
file(READ ${CMAKE_CURRENT_LIST_DIR}/THIRD-PARTY.txt others)
write_windows_text(${dir}/LICENSE.txt "${licence}\n\n${others}")

file(COPY_FILE ${MODULE} ${dir}/QNR_CUDA.vdf)

set(files QNR_CUDA.vdf README.txt LICENSE.txt)
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 ${dir}/${file} sum)
  string(APPEND sums "${sum}  ${file}\n")
endforeach()
file(WRITE ${dir}/SHA256SUMS "${sums}")
list(APPEND files SHA256SUMS)

set(entries "")
foreach(file IN LISTS files)
  list(APPEND entries ${name}/${file})
endforeach()
execute_process(COMMAND chmod 0644 ${entries} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status)
if(status EQUAL 0)
  execute_process(COMMAND touch -d @${epoch} ${entries} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE status)
endif()
if(status EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${ZIP} -X -D -q -9 ${OUTPUT}.tmp ${entries}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status)
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not make ${OUTPUT} (${status})")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
