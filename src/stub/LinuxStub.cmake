# Turns the `zqsfx` target into a Linux stub that starts on any kernel of its
# architecture: statically linked, stripped, with no C++ runtime (the stub
# code uses no exceptions, RTTI, iostreams or allocation through `new`).
# -O2 rather than -Os: on x86-64 the file is 62624 bytes instead of 54432,
# and extraction executes about 15% fewer instructions (callgrind, one
# worker, alice29.txt and kppkn.gtb of the corpus).
#
# A native build links it against musl (Debian's musl-tools) through gcc's
# musl specs, so the stub needs no glibc of any version. A cross build (the
# aarch64 stub) links the toolchain's own C library statically.
# Included by src/stub/CMakeLists.txt after it has defined `zqsfx`.

if(NOT TARGET zqsfx)
  message(FATAL_ERROR "LinuxStub.cmake: the zqsfx target must exist first")
endif()
include(${PROJECT_SOURCE_DIR}/cmake/LibrarySources.cmake)

set(ZQ_LINUX_STUB_COMPILE_OPTIONS
  -O2
  -fno-exceptions
  -fno-rtti
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  -fno-threadsafe-statics
  -fno-stack-protector
  -fno-ident
  -ffunction-sections
  -fdata-sections)
set(ZQ_LINUX_STUB_LINK_OPTIONS -static -nodefaultlibs -Wl,--gc-sections -Wl,--build-id=none -s)

# The stub compiles its own copies of the libraries with its own C library
# and options; in the host build the same libraries serve zqpack and the
# tests, built the ordinary way. The libraries are named in the order whose
# objects give the stub its layout: the codec before the platform layer.
zq_compile_library_sources(zqsfx zq_driver zq_archive zq_codec zq_platform)
target_compile_options(zqsfx PRIVATE ${ZQ_LINUX_STUB_COMPILE_OPTIONS})
target_link_options(zqsfx PRIVATE ${ZQ_LINUX_STUB_LINK_OPTIONS})

if(NOT CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "The static stub is built with gcc's musl specs; configure with g++, "
                        "or with -DZQ_STATIC_STUB=OFF for an ordinary dynamic stub")
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
    OUTPUT_VARIABLE gxx_version OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
    OUTPUT_VARIABLE gxx_machine OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "-gnu$" "-musl" musl_machine "${gxx_machine}")
  find_file(ZQ_MUSL_SPECS musl-gcc.specs
    PATHS /usr/lib/${musl_machine} /usr/lib/musl/lib /usr/local/musl/lib
    NO_DEFAULT_PATH)
  if(NOT ZQ_MUSL_SPECS)
    message(FATAL_ERROR "musl-gcc.specs not found: install musl-tools (scripts/deps.sh does), "
                        "or configure with -DZQ_STATIC_STUB=OFF for an ordinary dynamic stub")
  endif()
  # The specs put musl's headers in place of glibc's and drop the C++ ones;
  # the stub still wants libstdc++'s <cstdint>-style wrappers, whose
  # configuration asks glibc's version macro (absent under musl: "not glibc").
  target_compile_options(zqsfx PRIVATE
    -specs=${ZQ_MUSL_SPECS}
    "SHELL:-isystem /usr/include/c++/${gxx_version}"
    "SHELL:-isystem /usr/include/${gxx_machine}/c++/${gxx_version}"
    "-D__GLIBC_PREREQ(major,minor)=0")
  target_link_options(zqsfx PRIVATE -specs=${ZQ_MUSL_SPECS})
endif()
target_link_libraries(zqsfx PRIVATE -Wl,--start-group c gcc $<$<BOOL:${CMAKE_CROSSCOMPILING}>:gcc_eh> -Wl,--end-group)

# Size goal, checked at every build. A static glibc brings its own start-up,
# locale and stdio code along (about 600 KiB on aarch64); musl does not.
if(CMAKE_CROSSCOMPILING)
  set(zq_stub_budget 1048576)
else()
  set(zq_stub_budget 98304)
endif()
set(ZQ_LINUX_STUB_MAX_BYTES ${zq_stub_budget} CACHE STRING "Largest acceptable size of the static Linux zqsfx in bytes")
add_custom_command(TARGET zqsfx POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:zqsfx> -DMAX=${ZQ_LINUX_STUB_MAX_BYTES}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/CheckLinuxStub.cmake
  VERBATIM)
