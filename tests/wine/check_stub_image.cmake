cmake_minimum_required(VERSION 3.20)
# cmake -DSTUB=zqsfx.exe -DOBJDUMP=i686-w64-mingw32-objdump -DMAX=bytes -P check_stub_image.cmake
# The Windows stub's image, as the loader sees it: a PE32 console program
# within its size budget, importing only from kernel32 and user32, and only
# the calls the stub is built around (no C runtime, nothing else).
file(SIZE "${STUB}" size)
message(STATUS "stub size: ${size} bytes")
if(size GREATER MAX)
  message(FATAL_ERROR "stub is ${size} bytes, over the budget of ${MAX}")
endif()

execute_process(COMMAND ${OBJDUMP} -p -h "${STUB}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump cannot read ${STUB}")
endif()
if(NOT dump MATCHES "file format pei-i386")
  message(FATAL_ERROR "not a PE32 image for i386")
endif()
if(NOT dump MATCHES "Subsystem[\t ]+00000003")
  message(FATAL_ERROR "not a console program")
endif()
# ASLR and DEP: the image may be loaded anywhere (it says so and carries its
# relocations), and no section is both executable and writable.
if(NOT dump MATCHES "DYNAMIC_BASE" OR NOT dump MATCHES "NX_COMPAT")
  message(FATAL_ERROR "the stub does not ask for ASLR and DEP")
endif()
if(NOT dump MATCHES "Entry 5 0*[1-9a-f][0-9a-f]* 0*[1-9a-f][0-9a-f]* Base Relocation Directory")
  message(FATAL_ERROR "the stub carries no relocations, so it cannot move")
endif()
string(REGEX MATCHALL "\n +[0-9]+ [.A-Za-z0-9_$]+ [^\n]*\n[^\n]*" sections "${dump}")
foreach(section IN LISTS sections)
  if(section MATCHES "CODE" AND NOT section MATCHES "READONLY")
    string(STRIP "${section}" section)
    message(FATAL_ERROR "a section is executable and writable:\n${section}")
  endif()
endforeach()

# Static constructors and thread-local data would need a runtime to run them.
foreach(section .ctors .dtors .CRT .tls .eh_frame)
  string(REPLACE "." "\\." pattern "${section}")
  if(dump MATCHES "\n *[0-9]+ ${pattern}[ \t]")
    message(FATAL_ERROR "unexpected section ${section}")
  endif()
endforeach()

set(allowed_dlls KERNEL32.dll USER32.dll)
set(allowed_calls
  _lopen _lread _lwrite _llseek _lclose _lcreat CreateFileA SetFileTime CloseHandle
  GetFileAttributesA SetFileAttributesA DeleteFileA MoveFileA MoveFileExA
  GetCurrentDirectoryA SetCurrentDirectoryA CreateDirectoryA GetStdHandle ReadFile
  GetConsoleMode SetConsoleMode SetConsoleCtrlHandler GetModuleFileNameA ExitProcess TerminateProcess
  GlobalAlloc GlobalFree lstrcpyA lstrcatA lstrlenA lstrcmpiA wsprintfA
  # the command line, the time of a listed file and the program an installer runs
  # (by its full path)
  GetCommandLineA FileTimeToSystemTime CreateProcessA GetExitCodeProcess GetFullPathNameA
  # the installer's private folder, made and removed, and what its program is told
  GetTempPathA FindFirstFileA FindNextFileA FindClose RemoveDirectoryA
  SetEnvironmentVariableA
  # the two-byte rule of the ANSI code page in force
  IsDBCSLeadByte
  # the decoding threads
  GetSystemInfo GetEnvironmentVariableA CreateThread WaitForSingleObject
  CreateSemaphoreA ReleaseSemaphore
  # 64-bit file positions, in the stub that reads the wide form
  SetFilePointerEx)

string(REPLACE "\n" ";" lines "${dump}")
set(in_imports FALSE)
set(calls "")
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: (.+)$")
    set(dll "${CMAKE_MATCH_1}")
    if(NOT dll IN_LIST allowed_dlls)
      message(FATAL_ERROR "imports from ${dll}")
    endif()
    set(in_imports TRUE)
  elseif(in_imports AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+  ([A-Za-z_][A-Za-z0-9_]*)")
    set(call "${CMAKE_MATCH_1}")
    if(NOT call IN_LIST allowed_calls)
      message(FATAL_ERROR "imports ${call}, which the stub must not call")
    endif()
    list(APPEND calls ${call})
  elseif(NOT line MATCHES "^\t")
    set(in_imports FALSE)
  endif()
endforeach()
list(LENGTH calls count)
if(count LESS 20)
  message(FATAL_ERROR "only ${count} imports found; the import table was not read")
endif()
message(STATUS "imports: ${calls}")
