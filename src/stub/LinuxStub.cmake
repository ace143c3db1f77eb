# Turns the `zqsfx` target into a Linux stub that starts on any kernel of its
# architecture: statically linked, stripped, with no C++ runtime (the stub
# code uses no exceptions, RTTI, iostreams or allocation through `new`).
# -O2 rather than -Os: on x86-64 the file stays at 38 KiB either way (the
# segments are page-aligned), and extraction takes about 11% fewer
# instructions.
#
# A native build links it against musl (Debian's musl-tools) through gcc's
# musl specs, so the stub needs no glibc of any version. A cross build (the
# aarch64 stub) links the toolchain's own C library statically.
# Included by src/stub/CMakeLists.txt after it has defined `zqsfx`.

if(NOT TARGET zqsfx)
  message(FATAL_ERROR "LinuxStub.cmake: the zqsfx target must exist first")
endif()

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

# The sources and compile definitions of a library and of every library it
# links, so that the stub compiles its own copies with its own C library and
# options: in the host build the same libraries serve zqpack and the tests,
# built the ordinary way.
function(_zq_library_parts lib sources_out definitions_out)
  set(sources "")
  set(definitions "")
  get_target_property(lib_sources ${lib} SOURCES)
  get_target_property(lib_dir ${lib} SOURCE_DIR)
  foreach(src IN LISTS lib_sources)
    if(src AND NOT IS_ABSOLUTE ${src})
      set(src ${lib_dir}/${src})
    endif()
    list(APPEND sources ${src})
  endforeach()
  get_target_property(lib_definitions ${lib} COMPILE_DEFINITIONS)
  if(lib_definitions)
    list(APPEND definitions ${lib_definitions})
  endif()
  get_target_property(links ${lib} LINK_LIBRARIES)
  foreach(dep IN LISTS links)
    if(dep AND TARGET ${dep})
      get_target_property(imported ${dep} IMPORTED)
      if(NOT imported)
        _zq_library_parts(${dep} dep_sources dep_definitions)
        list(APPEND sources ${dep_sources})
        list(APPEND definitions ${dep_definitions})
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES sources)
  list(REMOVE_DUPLICATES definitions)
  set(${sources_out} ${sources} PARENT_SCOPE)
  set(${definitions_out} ${definitions} PARENT_SCOPE)
endfunction()

_zq_library_parts(zq_driver stub_sources stub_definitions)
target_sources(zqsfx PRIVATE ${stub_sources})
target_compile_definitions(zqsfx PRIVATE ${stub_definitions})
target_include_directories(zqsfx PRIVATE ${PROJECT_SOURCE_DIR}/src)
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
