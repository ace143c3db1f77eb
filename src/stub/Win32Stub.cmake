# Makes the 32-bit Windows stubs: PE32 console programs with their own entry
# point and no C runtime, linked against kernel32 and user32 only, and built
# for size (a stub travels in front of every archive). There are three:
# zqsfx.exe reads every archive in the narrow form but an encrypted one;
# zqsfx-encrypted.exe carries the decryption too, which costs about 4.5 KiB;
# zqsfx-wide.exe reads the wide form as well, with 64-bit positions and
# sizes, which costs about 1.5 KiB, and no decryption (an encrypted archive
# is narrow). zqpack puts the second in front of an encrypted archive, the
# third in front of a wide one and the first in front of any other.
# Included by src/stub/CMakeLists.txt.
include(${PROJECT_SOURCE_DIR}/cmake/LibrarySources.cmake)

# The runtime replacements must not be recognised as memcpy/memset loops and
# compiled back into calls of themselves. They stay out of the link-time
# optimisation: the calls the compiler makes to them appear only as code is
# generated, after that optimisation has decided what is unused.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/win32_runtime.cpp PROPERTIES
  COMPILE_OPTIONS "-ffreestanding;-fno-builtin;-fno-tree-loop-distribute-patterns;-fno-lto")

# Code generation for every piece of the stub: no exceptions, no RTTI, no
# unwind tables, nothing that needs runtime support, each function in its own
# section so the linker drops what is unused. Not -fdata-sections: with it,
# this compiler puts zero-initialised data into .data$ sections, which take
# room in the file, instead of .bss, which takes none.
#
# The stub is one program with no outside callers, so it is optimised whole
# at link time (-flto): calls across files are inlined or specialised, and
# what the options leave unreachable on Windows (symbolic links) goes. Data
# keeps the alignment its type needs and no more (-malign-data=abi), rather
# than 32 bytes for every array of 32 bytes or more: in a program of short
# strings that padding costs a few hundred bytes. Small functions are inlined
# only where they are declared inline (-fno-inline-small-functions); the
# decoder's are, and so keeps its speed. The loop optimisations (induction
# variables, unswitching, unrolling: -fno-tree-loop-optimize) and the jump
# threading of the dominator walk (-fno-tree-dominator-opts) duplicate code
# for speed that nothing outside the decoder needs: without them the stub
# is about 300 bytes smaller, and the checksum's byte loop compiles the same.
# -Oz rather than -Os: small constants through push and pop, no padding of
# jump targets, the shorter of two equal instruction sequences; 432 bytes
# less code. Five more passes trade size for speed that only the decoder
# needs: hoisting and partial redundancy elimination (-fno-code-hoisting,
# -fno-tree-pre), invariant motion out of loops (-fno-tree-loop-im),
# strength reduction (-fno-tree-slsr) and keeping values in call-clobbered
# registers across calls (-fno-caller-saves); together 272 bytes. The
# checksum's byte loop keeps its buffer in a register all the same.
set(ZQ_STUB_COMPILE_OPTIONS
  -Oz
  -fomit-frame-pointer
  -fno-exceptions
  -fno-rtti
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  -fno-threadsafe-statics
  -fno-stack-protector
  -fno-ident
  -ffunction-sections
  -fmerge-all-constants
  -mpreferred-stack-boundary=2
  -flto
  -malign-data=abi
  -fno-inline-small-functions
  -fno-tree-loop-optimize
  -fno-tree-dominator-opts
  -fno-code-hoisting
  -fno-tree-pre
  -fno-tree-loop-im
  -fno-tree-slsr
  -fno-caller-saves
  -Wall -Wextra)
set_property(GLOBAL PROPERTY ZQ_STUB_COMPILE_OPTIONS "${ZQ_STUB_COMPILE_OPTIONS}")

# zq_win32_stub_code(<target> <library>...): the libraries' sources compiled
# into <target> as the stub has them (zqsfx itself, and the decoder benchmark
# that times the stub's own codec). The exception to -Oz is the block
# decoder, where extraction spends its time: built for speed it costs a few
# hundred bytes and decodes markedly faster (bench/decode_32v64.sh). An
# option given by name outlasts any -O level, so the decoder takes back by
# name every optimisation the options above turn off.
function(zq_win32_stub_code target)
  get_property(options GLOBAL PROPERTY ZQ_STUB_COMPILE_OPTIONS)
  zq_compile_library_sources(${target} ${ARGN})
  target_compile_options(${target} PRIVATE ${options})
  set_source_files_properties(${PROJECT_SOURCE_DIR}/src/codec/decode.cpp
    TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-O2;-ftree-loop-optimize;-ftree-dominator-opts;-fcode-hoisting;-ftree-pre;-ftree-loop-im;-ftree-slsr;-fcaller-saves")
endfunction()

# The resources: the manifest (asInvoker; Windows 7 to 11) and the version
# resource with the fields zqpack fills in. The resource compiler writes an
# object of one .rsrc section, which the linker script keeps; both stubs
# take the same one.
include(${CMAKE_CURRENT_SOURCE_DIR}/VersionResource.cmake)
set(zq_stub_rc ${CMAKE_CURRENT_BINARY_DIR}/zqsfx.rc)
set(zq_stub_res ${CMAKE_CURRENT_BINARY_DIR}/zqsfx_res.o)
zq_write_stub_rc(${zq_stub_rc} ${CMAKE_CURRENT_SOURCE_DIR}/zqsfx.manifest)
add_custom_command(OUTPUT ${zq_stub_res}
  COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${zq_stub_rc} -o ${zq_stub_res}
  DEPENDS ${zq_stub_rc} ${CMAKE_CURRENT_SOURCE_DIR}/zqsfx.manifest
          ${CMAKE_CURRENT_SOURCE_DIR}/VersionResource.cmake
  COMMENT "Compiling the stub's resources"
  VERBATIM)
set_source_files_properties(${zq_stub_res} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
add_custom_target(zqsfx_resources DEPENDS ${zq_stub_res})

if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "the Windows stub needs the toolchain's objcopy (CMAKE_OBJCOPY)")
endif()

# zq_win32_stub(<target> <largest size in bytes>): <target>, an executable of
# the entry point and the runtime replacements, made into a stub.
#
# No start files and no default libraries: the entry point is ours, and the
# only imports are the two system libraries. Unused sections go, symbols are
# stripped, and the program keeps ASLR and DEP. The code is generated at link
# time, so the link takes the code generation options too; zqsfx.ld lays out
# the sections. That code goes into one section, not a section a function:
# the link-time optimisation has already dropped every unused function, and
# the assembler pads each section to 4 bytes, which in a program of a
# hundred-odd functions is about 200 bytes of padding.
#
# After the link the resource and relocation directories are filled in and
# the import lookup tables cut off (FinishImage.cmake, with the toolchain's
# assembler and objcopy), then the size goal and runtime-free start of the
# stub are checked.
function(zq_win32_stub target max_bytes)
  zq_win32_stub_code(${target} zq_driver)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  target_link_options(${target} PRIVATE
    ${ZQ_STUB_COMPILE_OPTIONS}
    -fno-function-sections
    -nostdlib
    -nostartfiles
    -Wl,-e,_zq_entry
    -Wl,--subsystem,console
    -Wl,--gc-sections
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--no-insert-timestamp
    -Wl,-T,${CMAKE_CURRENT_SOURCE_DIR}/zqsfx.ld
    -Wl,-Map,${map}
    -s)
  target_link_libraries(${target} PRIVATE kernel32 user32)
  target_sources(${target} PRIVATE ${zq_stub_res})
  add_dependencies(${target} zqsfx_resources)
  set_target_properties(${target} PROPERTIES SUFFIX ".exe"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    LINK_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/zqsfx.ld;${CMAKE_CURRENT_SOURCE_DIR}/FinishImage.cmake")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DMAP=${map}
            -DCC=${CMAKE_CXX_COMPILER} -DOBJCOPY=${CMAKE_OBJCOPY}
            -DWORK=${CMAKE_CURRENT_BINARY_DIR}/image-${target}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/FinishImage.cmake
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DMAP=${map}
            -DMAX=${max_bytes} -P ${CMAKE_CURRENT_SOURCE_DIR}/CheckStub.cmake
    VERBATIM)
endfunction()

# The budgets: 24 KiB for the plain and the wide stub, 28 KiB with the
# decryption.
set(ZQ_STUB_MAX_BYTES 24576 CACHE STRING "Largest acceptable size of zqsfx.exe in bytes")
set(ZQ_ENCRYPTED_STUB_MAX_BYTES 28672 CACHE STRING
  "Largest acceptable size of zqsfx-encrypted.exe in bytes")
set(ZQ_WIDE_STUB_MAX_BYTES 24576 CACHE STRING "Largest acceptable size of zqsfx-wide.exe in bytes")

# The plain stub leaves the decryption out: an encrypted archive is to it one
# it cannot read.
zq_win32_stub(zqsfx ${ZQ_STUB_MAX_BYTES})
target_compile_definitions(zqsfx PRIVATE ZQ_WITHOUT_DECRYPTION)

add_executable(zqsfx-encrypted win32_entry.cpp win32_runtime.cpp)
zq_win32_stub(zqsfx-encrypted ${ZQ_ENCRYPTED_STUB_MAX_BYTES})

# The wide stub holds positions and sizes in 64 bits (platform.h) and reads
# the wide form as the Linux stubs do.
add_executable(zqsfx-wide win32_entry.cpp win32_runtime.cpp)
zq_win32_stub(zqsfx-wide ${ZQ_WIDE_STUB_MAX_BYTES})
target_compile_definitions(zqsfx-wide PRIVATE ZQ_WITHOUT_DECRYPTION ZQ_WIDE_FILES)
