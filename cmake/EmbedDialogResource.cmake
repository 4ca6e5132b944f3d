# Extracts one RT_DIALOG resource from a compiled resource file (.res) and writes
# it as a C++ byte array, for builds whose module format has no resource section.
#
#   cmake -DRES=qnr.res -DOUT=dialog.cpp -DDIALOG_ID=1000 -DSYMBOL=qnr_dialog -P EmbedDialogResource.cmake
#
# A .res file is a sequence of records, each a header and then the data padded to
# four bytes. The header: data size (u32), header size (u32), type, name, padding
# to four bytes, data version (u32), memory flags (u16), language (u16),
# version (u32), characteristics (u32). Type and name are either 0xFFFF and a u16
# ordinal, or a NUL-terminated UTF-16 string.
foreach(var RES OUT DIALOG_ID SYMBOL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "EmbedDialogResource.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ "${RES}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR file_size "${hex_length} / 2")

# Reads a little-endian unsigned value of `bytes` bytes at byte `offset`.
function(read_le out offset bytes)
  if(offset GREATER file_size)
    message(FATAL_ERROR "${RES}: truncated resource file")
  endif()
  set(value "")
  math(EXPR last "${bytes} - 1")
  foreach(i RANGE ${last} 0 -1)
    math(EXPR at "(${offset} + ${i}) * 2")
    string(SUBSTRING "${hex}" ${at} 2 byte)
    string(APPEND value "${byte}")
  endforeach()
  math(EXPR value "0x${value}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# Reads a type or name field at `offset`: sets <out> to the ordinal (or -1 for a
# string) and <out>_end to the byte after the field.
function(read_id out offset)
  read_le(first ${offset} 2)
  if(first EQUAL 65535)
    math(EXPR after "${offset} + 2")
    read_le(ordinal ${after} 2)
    math(EXPR end "${offset} + 4")
    set(${out} ${ordinal} PARENT_SCOPE)
  else()
    set(end ${offset})
    while(TRUE)
      read_le(unit ${end} 2)
      math(EXPR end "${end} + 2")
      if(unit EQUAL 0)
        break()
      endif()
    endwhile()
    set(${out} -1 PARENT_SCOPE)
  endif()
  set(${out}_end ${end} PARENT_SCOPE)
endfunction()

set(RT_DIALOG 5)
set(offset 0)
set(found FALSE)
while(offset LESS file_size)
  read_le(data_size ${offset} 4)
  read_le(header_size ${offset}+4 4)
  math(EXPR type_at "${offset} + 8")
  read_id(type ${type_at})
  read_id(name ${type_end})
  math(EXPR fixed "(${name_end} + 3) / 4 * 4")
  read_le(language ${fixed}+6 2)
  math(EXPR data_at "${offset} + ${header_size}")
  if(type EQUAL RT_DIALOG AND name EQUAL DIALOG_ID)
    if(found)
      message(FATAL_ERROR "${RES}: dialog ${DIALOG_ID} appears more than once")
    endif()
    set(found TRUE)
    set(dialog_at ${data_at})
    set(dialog_size ${data_size})
    set(dialog_language ${language})
  endif()
  math(EXPR offset "(${data_at} + ${data_size} + 3) / 4 * 4")
endwhile()
if(NOT found)
  message(FATAL_ERROR "${RES}: no dialog resource ${DIALOG_ID}")
endif()
math(EXPR dialog_end "${dialog_at} + ${dialog_size}")
if(dialog_end GREATER file_size)
  message(FATAL_ERROR "${RES}: dialog ${DIALOG_ID} runs past the end of the file")
endif()

math(EXPR hex_at "${dialog_at} * 2")
math(EXPR hex_count "${dialog_size} * 2")
string(SUBSTRING "${hex}" ${hex_at} ${hex_count} dialog_hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${dialog_hex}")
string(REPEAT "0x..," 16 sixteen)
string(REGEX REPLACE "(${sixteen})" "\\1\n    " bytes "${bytes}")
math(EXPR language_hex "${dialog_language}" OUTPUT_FORMAT HEXADECIMAL)

file(WRITE "${OUT}.tmp" "// Generated from the compiled resource file by EmbedDialogResource.cmake; do not edit.
#include <cstdint>

extern const uint8_t ${SYMBOL}_bytes[];
extern const uint32_t ${SYMBOL}_size;
extern const uint16_t ${SYMBOL}_language;
extern const uint16_t ${SYMBOL}_id;

alignas(4) const uint8_t ${SYMBOL}_bytes[] = {
    ${bytes}
};
const uint32_t ${SYMBOL}_size = ${dialog_size};
const uint16_t ${SYMBOL}_language = ${language_hex};
const uint16_t ${SYMBOL}_id = ${DIALOG_ID};
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
