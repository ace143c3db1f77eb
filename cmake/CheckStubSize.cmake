# cmake -DFILE=zqsfx.exe -DMAX=bytes -P CheckStubSize.cmake
# Reports the stub's size and fails the build when it outgrows its budget.
file(SIZE "${FILE}" _size)
math(EXPR _kib "(${_size} + 1023) / 1024")
message(STATUS "zqsfx stub: ${_size} bytes (${_kib} KiB), budget ${MAX} bytes")
if(_size GREATER MAX)
  message(FATAL_ERROR "zqsfx stub is ${_size} bytes, over its budget of ${MAX}")
endif()
