include_guard(GLOBAL)
# zq_compile_library_sources(<target> <library>...)
#
# Compiles the sources of each <library>, and of every library of this
# project that it links, once more as part of <target>. The Linux stub, the
# Windows stub and the fuzzers build the same code with their own C library,
# code generation or instrumentation, while the ordinary libraries keep their
# own flags for zqpack and the tests. The libraries' compile definitions come
# along; their compile options do not: <target> sets the variant's own.
# Sources keep the order of the libraries as they link (a library before what
# it needs), so a variant's objects reach the linker in a fixed order.

# The libraries of this project that `libs` link, directly or not, breadth
# first: each library's own links before theirs, as the linker sees them.
function(_zq_library_closure out)
  set(closure "")
  set(queue ${ARGN})
  while(queue)
    list(POP_FRONT queue lib)
    if(NOT lib OR NOT TARGET ${lib} OR lib IN_LIST closure)
      continue()
    endif()
    get_target_property(imported ${lib} IMPORTED)
    if(imported)
      continue()
    endif()
    list(APPEND closure ${lib})
    get_target_property(type ${lib} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${lib} INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(links ${lib} LINK_LIBRARIES)
    endif()
    if(links)
      list(APPEND queue ${links})
    endif()
  endwhile()
  set(${out} ${closure} PARENT_SCOPE)
endfunction()

function(zq_compile_library_sources target)
  _zq_library_closure(libs ${ARGN})
  set(sources "")
  set(definitions "")
  foreach(lib IN LISTS libs)
    get_target_property(lib_sources ${lib} SOURCES)
    get_target_property(lib_dir ${lib} SOURCE_DIR)
    if(NOT lib_sources)
      set(lib_sources "")  # a header-only library
    endif()
    foreach(src IN LISTS lib_sources)
      if(NOT IS_ABSOLUTE ${src})
        set(src ${lib_dir}/${src})
      endif()
      list(APPEND sources ${src})
    endforeach()
    get_target_property(lib_definitions ${lib} COMPILE_DEFINITIONS)
    if(lib_definitions)
      list(APPEND definitions ${lib_definitions})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES sources)
  target_sources(${target} PRIVATE ${sources})
  if(definitions)
    list(REMOVE_DUPLICATES definitions)
    target_compile_definitions(${target} PRIVATE ${definitions})
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
endfunction()
