# Writes the Windows stub's resource script: the application manifest and a
# version resource whose texts sit in fixed-size fields, so that zqpack can
# put a publisher's texts in place without a resource compiler
# (src/writer/pe_resources.cpp; docs/FORMAT.md has the layout).
#
# The version resource is spelt out word by word as raw data of type 16
# (RT_VERSION): the resource compiler's own VERSIONINFO statement sizes each
# text to what it holds and so leaves no room to fill. Every field is a
# String entry whose wLength covers its whole capacity and whose
# wValueLength counts the text held now, its NUL included.
#   zq_write_stub_rc(<output .rc> <manifest file>)

# Field name, capacity in UTF-16 units (NUL included; even, so that every
# entry stays a multiple of 4 bytes long), default text (ASCII).
set(ZQ_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0")
set(ZQ_VERSION_FIELDS
  "CompanyName|64|zqsfx"
  "FileDescription|96|zqsfx self-extractor"
  "FileVersion|24|${ZQ_VERSION_TEXT}"
  "LegalCopyright|96|zqsfx developers"
  "ProductName|64|zqsfx"
  "ProductVersion|24|${ZQ_VERSION_TEXT}")

# `count` zero words, comma-separated with a trailing comma.
function(_zq_zero_words out count)
  string(REPEAT "0, " ${count} words)
  set(${out} "${words}" PARENT_SCOPE)
endfunction()

# One String entry: its raw data and its length in bytes.
function(_zq_string_entry out_data out_length key capacity text)
  string(LENGTH "${key}" key_length)
  string(LENGTH "${text}" text_length)
  math(EXPR head "6 + 2 * (${key_length} + 1)")
  math(EXPR pad "(4 - ${head} % 4) % 4")
  math(EXPR length "${head} + ${pad} + 2 * ${capacity}")
  math(EXPR value_length "${text_length} + 1")
  math(EXPR spare "${capacity} - ${text_length}")
  if(spare LESS 1)
    message(FATAL_ERROR "the default ${key} does not fit its ${capacity} units")
  endif()
  set(data "  ${length}, ${value_length}, 1, L\"${key}\\0\", ")
  if(pad)
    string(APPEND data "0, ")
  endif()
  _zq_zero_words(zeros ${spare})
  string(APPEND data "L\"${text}\", ${zeros}\n")
  set(${out_data} "${data}" PARENT_SCOPE)
  set(${out_length} ${length} PARENT_SCOPE)
endfunction()

function(zq_write_stub_rc output manifest)
  set(strings "")
  set(strings_length 0)
  foreach(field IN LISTS ZQ_VERSION_FIELDS)
    string(REPLACE "|" ";" pieces "${field}")
    list(GET pieces 0 key)
    list(GET pieces 1 capacity)
    list(GET pieces 2 text)
    _zq_string_entry(data length ${key} ${capacity} "${text}")
    string(APPEND strings "${data}")
    math(EXPR strings_length "${strings_length} + ${length}")
  endforeach()
  # StringTable "040904B0" (US English, UTF-16): 6 + 18 bytes of header.
  math(EXPR table_length "24 + ${strings_length}")
  # StringFileInfo: 6 + 30 bytes of header.
  math(EXPR file_info_length "36 + ${table_length}")
  # VarFileInfo (6 + 24 + 2 bytes) holding one Translation Var (32 + 4).
  set(var_info_length 68)
  # VS_VERSIONINFO: 6 + 32 + 2 bytes of header, then VS_FIXEDFILEINFO (52).
  math(EXPR total "92 + ${file_info_length} + ${var_info_length}")
  math(EXPR version_ms "(${PROJECT_VERSION_MAJOR} << 16) | ${PROJECT_VERSION_MINOR}")

  file(WRITE "${output}" "// Written by VersionResource.cmake.
1 24 \"${manifest}\"

1 16
BEGIN
  ${total}, 52, 0, L\"VS_VERSION_INFO\\0\", 0,
  0xFEEF04BDL, 0x00010000L, ${version_ms}L, 0L, ${version_ms}L, 0L,
  0x3FL, 0L, 0x00040004L, 1L, 0L, 0L, 0L,
  ${file_info_length}, 0, 1, L\"StringFileInfo\\0\",
  ${table_length}, 0, 1, L\"040904B0\\0\",
${strings}  ${var_info_length}, 0, 1, L\"VarFileInfo\\0\", 0,
  36, 4, 0, L\"Translation\\0\", 0, 0x0409, 0x04B0
END
")
endfunction()
