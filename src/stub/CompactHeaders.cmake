# cmake -DFILE=zqsfx.exe -DCC=i686-w64-mingw32-g++ -DOBJCOPY=i686-w64-mingw32-objcopy
#       -DWORK=dir -P CompactHeaders.cmake
# Run after every link of the Windows stub: fits its headers into the file's
# first 512 bytes. The linker puts the PE headers at 128, behind the DOS
# header and a 64-byte DOS program, and with four section headers they end
# 24 bytes past 512, so the header block takes two file pages. Here the DOS
# program shrinks to the 5 bytes that end it under DOS (exit code 1), kept in
# the DOS header's reserved words; the PE headers move to 64, right behind
# that header (room for five section headers), and every section's data
# 512 bytes down. The PE checksum is computed again. An image laid out otherwise than
# this expects is left as it is, and its size shows what that costs.
#
# The bytes are put together by the assembler (.byte for the new headers,
# .incbin for the sections' data) and taken out of its object by objcopy.

file(SIZE "${FILE}" size)
file(READ "${FILE}" whole HEX)
string(SUBSTRING "${whole}" 0 2048 head)

# Little-endian fields of the header block, `at` a byte offset.
function(field out at bytes)
  set(value "")
  foreach(i RANGE 1 ${bytes})
    math(EXPR pos "2 * (${at} + ${bytes} - ${i})")
    string(SUBSTRING "${head}" ${pos} 2 byte)
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

set(old_pe 0x80)
set(new_pe 0x40)  # straight after the DOS header
field(lfanew 0x3C 4)
if(NOT size GREATER 1024 OR NOT lfanew EQUAL old_pe)
  message(STATUS "zqsfx stub: headers left as linked (not the layout expected)")
  return()
endif()
math(EXPR optional "${old_pe} + 24")
field(signature ${old_pe} 4)
field(sections ${old_pe}+6 2)
field(symbols ${old_pe}+12 4)
field(optional_size ${old_pe}+20 2)
field(magic ${optional} 2)
field(file_alignment ${optional}+36 4)
field(header_size ${optional}+60 4)
field(directories ${optional}+92 4)
# Directories that hold file offsets: the certificate table and the debug
# directory's entries. An unsigned stub without debug data has neither.
field(certificates ${optional}+96+4*8+4 4)
field(debug ${optional}+96+6*8+4 4)
math(EXPR table "${optional} + ${optional_size}")
math(EXPR end "${table} + 40 * ${sections}")
math(EXPR new_end "${end} - ${old_pe} + ${new_pe}")
if(NOT signature EQUAL 0x4550 OR NOT magic EQUAL 0x10B OR NOT file_alignment EQUAL 512
   OR NOT header_size EQUAL 1024 OR NOT symbols EQUAL 0 OR NOT directories EQUAL 16
   OR NOT certificates EQUAL 0 OR NOT debug EQUAL 0)
  message(STATUS "zqsfx stub: headers left as linked (not the layout expected)")
  return()
endif()
if(new_end GREATER 512)
  message(STATUS "zqsfx stub: headers left as linked (${new_end} bytes even when moved)")
  return()
endif()
math(EXPR pos "2 * ${end}")
string(SUBSTRING "${head}" ${pos} -1 padding)
if(NOT padding MATCHES "^0*$")
  message(STATUS "zqsfx stub: headers left as linked (data after the section table)")
  return()
endif()

# The new header block: the DOS header with its program (mov ax, 4C01h;
# int 21h) and pointing at the new place, then the PE headers with the
# header size and the sections' file offsets 512 bytes smaller.
# The DOS program lives in the header's reserved words at 0x28: a header of
# two paragraphs (e_cparhdr, at 0x08) makes DOS load the file from 0x20, and
# the program starts 8 bytes in (e_ip, at 0x14).
string(SUBSTRING "${head}" 0 16 block)
string(APPEND block "0200")
string(SUBSTRING "${head}" 20 20 dos)
string(APPEND block "${dos}0800")
string(SUBSTRING "${head}" 44 36 dos)
string(APPEND block "${dos}b8014ccd21000000000000000000000000000000")
hex_le(lfanew_hex ${new_pe} 4)
string(APPEND block "${lfanew_hex}")
math(EXPR length "2 * (${end} - ${old_pe})")
math(EXPR pos "2 * ${old_pe}")
string(SUBSTRING "${head}" ${pos} ${length} pe)
function(put_field at bytes value)
  math(EXPR pos "2 * (${at} - ${old_pe})")
  math(EXPR after "${pos} + 2 * ${bytes}")
  hex_le(text ${value} ${bytes})
  string(SUBSTRING "${pe}" 0 ${pos} before)
  string(SUBSTRING "${pe}" ${after} -1 rest)
  set(pe "${before}${text}${rest}" PARENT_SCOPE)
endfunction()
put_field(${optional}+60 4 512)
put_field(${optional}+64 4 0)  # the checksum, computed below
math(EXPR last "${sections} - 1")
foreach(i RANGE ${last})
  math(EXPR at "${table} + 40 * ${i} + 20")
  field(raw_at ${at} 4)
  if(raw_at GREATER_EQUAL 1024)
    math(EXPR raw_at "${raw_at} - 512")
    put_field(${at} 4 ${raw_at})
  elseif(NOT raw_at EQUAL 0)
    message(STATUS "zqsfx stub: headers left as linked (a section's data among the headers)")
    return()
  endif()
endforeach()
string(APPEND block "${pe}")
string(LENGTH "${block}" length)
math(EXPR zeros "512 - ${length} / 2")
string(REPEAT "00" ${zeros} tail)
string(APPEND block "${tail}")

# The PE checksum: the 16-bit little-endian words of the file summed with
# the checksum field as zero, the carries folded back in, plus the length.
string(SUBSTRING "${whole}" 2048 -1 rest)
string(REGEX REPLACE "(..)(..)" "+0x\\2\\1" terms "${block}${rest}")
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
math(EXPR new_size "${size} - 512")
math(EXPR sum "${sum} + ${new_size}")
math(EXPR pos "2 * (${new_pe} + 24 + 64)")
math(EXPR after "${pos} + 8")
hex_le(checksum ${sum} 4)
string(SUBSTRING "${block}" 0 ${pos} before)
string(SUBSTRING "${block}" ${after} -1 behind)
set(block "${before}${checksum}${behind}")

string(REGEX REPLACE "(..)" "0x\\1," bytes "${block}")
string(REGEX REPLACE ",$" "" bytes "${bytes}")
string(REGEX REPLACE "((0x..,){31}0x..)," "\\1\n  .byte " bytes "${bytes}")
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/image.s"
  "  .section .image,\"dr\"\n  .byte ${bytes}\n  .incbin \"${FILE}\", 1024\n")
execute_process(COMMAND "${CC}" -c -x assembler "${WORK}/image.s" -o "${WORK}/image.o"
  RESULT_VARIABLE failed)
if(NOT failed)
  execute_process(COMMAND "${OBJCOPY}" -O binary -j .image "${WORK}/image.o" "${WORK}/image.exe"
    RESULT_VARIABLE failed)
endif()
file(SIZE "${WORK}/image.exe" made)
if(failed OR NOT made EQUAL new_size)
  message(FATAL_ERROR "the stub's headers: made ${made} bytes, not ${new_size}")
endif()
file(RENAME "${WORK}/image.exe" "${FILE}")
