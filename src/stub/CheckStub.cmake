# cmake -DFILE=zqsfx.exe -DMAP=zqsfx.map -DMAX=bytes -P CheckStub.cmake
# Run after every link of the Windows stub. Reports its size and fails the
# build when it outgrows its budget, or when the link took in anything that
# needs a runtime to start it: static constructors or destructors, CRT
# initialiser tables, thread-local data. Nothing would ever run them.
file(SIZE "${FILE}" size)
math(EXPR kib "(${size} + 1023) / 1024")
get_filename_component(name "${FILE}" NAME)
message(STATUS "${name}: ${size} bytes (${kib} KiB), budget ${MAX} bytes")
if(size GREATER MAX)
  message(FATAL_ERROR "${name} is ${size} bytes, over its budget of ${MAX}")
endif()

file(READ "${MAP}" map)
# Input sections are listed one space in, the name alone on its line when it
# is long, then address, size and object.
string(REGEX MATCH
  "\n \\.(ctors|ctor|dtors|dtor|CRT\\$X[A-Z]*|tls)[^ \t\n]*[ \t\n]+0x[0-9a-f]+[ \t]+0x0*[1-9a-f][0-9a-f]*[ \t]+[^\n]*"
  found "${map}")
if(found)
  string(STRIP "${found}" found)
  message(FATAL_ERROR "the stub links code that needs a runtime to start it:\n${found}")
endif()
