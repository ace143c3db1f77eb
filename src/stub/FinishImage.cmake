# cmake -DFILE=zqsfx.exe -DMAP=zqsfx.map -DCC=i686-w64-mingw32-g++
#       -DOBJCOPY=i686-w64-mingw32-objcopy -DWORK=dir -P FinishImage.cmake
# Run after every link of the Windows stub, whose one section with contents
# (zqsfx.ld) ends with the resources, the base relocations and the import
# lookup tables, in that order. The linker fills the resource and relocation
# directories only from sections of those names, so they are filled here,
# from the symbols the linker script puts around both. The lookup tables
# repeat the import address table word for word before the loader binds it;
# each import descriptor's lookup table is set to none, so that the loader
# reads the names from the address table itself, and the tables are cut
# off. The PE checksum is computed again. An image laid out otherwise than
# this expects is left as it is, and its size shows what that costs.
#
# The bytes are put together by the assembler (.byte) and taken out of its
# object by objcopy.

file(READ "${FILE}" image HEX)
file(READ "${MAP}" map)

# Little-endian fields of the image, `at` a byte offset.
function(field out at bytes)
  set(value "")
  foreach(i RANGE 1 ${bytes})
    math(EXPR pos "2 * (${at} + ${bytes} - ${i})")
    string(SUBSTRING "${image}" ${pos} 2 byte)
    string(APPEND value "${byte}")
  endforeach()
  math(EXPR value "0x${value}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# `value` as `bytes` little-endian hex bytes.
function(hex_le out value bytes)
  set(text "")
  foreach(i RANGE 1 ${bytes})
    math(EXPR byte "${value} & 0xFF" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR value "${value} >> 8")
    string(SUBSTRING "${byte}" 2 -1 byte)
    string(LENGTH "${byte}" length)
    if(length LESS 2)
      set(byte "0${byte}")
    endif()
    string(APPEND text "${byte}")
  endforeach()
  set(${out} ${text} PARENT_SCOPE)
endfunction()

function(put_field at bytes value)
  math(EXPR pos "2 * (${at})")
  math(EXPR after "${pos} + 2 * ${bytes}")
  hex_le(text ${value} ${bytes})
  string(SUBSTRING "${image}" 0 ${pos} before)
  string(SUBSTRING "${image}" ${after} -1 rest)
  set(image "${before}${text}${rest}" PARENT_SCOPE)
endfunction()

# The image-relative address the linker script gave `name`, or -1.
function(map_symbol out name)
  string(REGEX MATCH "0x([0-9a-f]+)[ \t]+${name} = " found "${map}")
  if(found)
    math(EXPR value "0x${CMAKE_MATCH_1}")
  else()
    set(value -1)
  endif()
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# Data directory `index` from image-relative address `start` to `end`.
function(put_directory index start end)
  math(EXPR at "${directory} + 8 * ${index}")
  math(EXPR length "${end} - ${start}")
  put_field(${at} 4 ${start})
  put_field(${at}+4 4 ${length})
  set(image "${image}" PARENT_SCOPE)
endfunction()

function(leave_as_linked why)
  message(STATUS "zqsfx stub: image left as linked (${why})")
endfunction()

field(pe 0x3C 4)
math(EXPR optional "${pe} + 24")
field(signature ${pe} 4)
field(sections ${pe}+6 2)
field(optional_size ${pe}+20 2)
field(magic ${optional} 2)
field(file_alignment ${optional}+36 4)
field(directories ${optional}+92 4)
math(EXPR directory "${optional} + 96")
field(imports ${directory}+8 4)
field(imports_size ${directory}+12 4)
field(certificates ${directory}+4*8 4)
math(EXPR table "${optional} + ${optional_size}")
field(text_va ${table}+12 4)
field(text_size ${table}+8 4)
field(text_raw ${table}+20 4)
map_symbol(resources __zq_resources)
map_symbol(resources_end __zq_resources_end)
map_symbol(relocations __zq_relocations)
map_symbol(relocations_end __zq_relocations_end)
map_symbol(lookup __zq_lookup_tables)
math(EXPR text_end "${text_va} + ${text_size}")
if(NOT signature EQUAL 0x4550 OR NOT magic EQUAL 0x10B OR NOT file_alignment EQUAL 512
   OR NOT directories EQUAL 16 OR NOT certificates EQUAL 0 OR resources LESS 0
   OR lookup LESS 0 OR NOT relocations_end EQUAL lookup OR NOT lookup LESS text_end
   OR imports LESS text_va OR NOT imports LESS lookup)
  leave_as_linked("not the layout expected")
  return()
endif()
# Every other section holds no file data, so the cut moves nothing.
set(i 1)
while(i LESS sections)
  math(EXPR at "${table} + 40 * ${i} + 16")
  field(raw ${at} 4)
  if(NOT raw EQUAL 0)
    leave_as_linked("a second section with contents")
    return()
  endif()
  math(EXPR i "${i} + 1")
endwhile()

math(EXPR offset "${text_raw} - ${text_va}")  # file offset of an address in .text
math(EXPR count "${imports_size} / 20 - 1")   # the last descriptor is the empty one
foreach(i RANGE 1 ${count})
  math(EXPR at "${offset} + ${imports} + 20 * (${i} - 1)")
  put_field(${at} 4 0)
endforeach()
math(EXPR used "${lookup} - ${text_va}")
math(EXPR raw_size "(${used} + 511) / 512 * 512")
put_field(${table}+8 4 ${used})
put_field(${table}+16 4 ${raw_size})
put_field(${optional}+4 4 ${raw_size})
put_directory(2 ${resources} ${resources_end})
put_directory(5 ${relocations} ${relocations_end})
put_field(${optional}+64 4 0)  # the checksum, computed below

math(EXPR kept "2 * (${text_raw} + ${used})")
math(EXPR zeros "${raw_size} - ${used}")
string(SUBSTRING "${image}" 0 ${kept} image)
string(REPEAT "00" ${zeros} tail)
string(APPEND image "${tail}")
math(EXPR new_size "${text_raw} + ${raw_size}")

# The PE checksum: the 16-bit little-endian words of the file summed with
# the checksum field as zero, the carries folded back in, plus the length.
string(REGEX REPLACE "(..)(..)" "+0x\\2\\1" terms "${image}")
string(LENGTH "${terms}" length)
set(sum 0)
set(pos 0)
while(pos LESS length)
  string(SUBSTRING "${terms}" ${pos} 7000 chunk)  # 1000 terms at a time
  math(EXPR sum "${sum}${chunk}")
  math(EXPR pos "${pos} + 7000")
endwhile()
while(sum GREATER 0xFFFF)
  math(EXPR sum "(${sum} & 0xFFFF) + (${sum} >> 16)")
endwhile()
math(EXPR sum "${sum} + ${new_size}")
put_field(${optional}+64 4 ${sum})

string(REGEX REPLACE "(..)" "0x\\1," bytes "${image}")
string(REGEX REPLACE ",$" "" bytes "${bytes}")
string(REGEX REPLACE "((0x..,){31}0x..)," "\\1\n  .byte " bytes "${bytes}")
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/image.s" "  .section .image,\"dr\"\n  .byte ${bytes}\n")
execute_process(COMMAND "${CC}" -c -x assembler "${WORK}/image.s" -o "${WORK}/image.o"
  RESULT_VARIABLE failed)
if(NOT failed)
  execute_process(COMMAND "${OBJCOPY}" -O binary -j .image "${WORK}/image.o" "${WORK}/image.exe"
    RESULT_VARIABLE failed)
endif()
file(SIZE "${WORK}/image.exe" made)
if(failed OR NOT made EQUAL new_size)
  message(FATAL_ERROR "the stub's image: made ${made} bytes, not ${new_size}")
endif()
file(RENAME "${WORK}/image.exe" "${FILE}")
