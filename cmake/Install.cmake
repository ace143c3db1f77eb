# What `cmake --install` puts where, and the .deb that CPack makes of it:
#   bin/zqpack
#   lib/zqsfx/zqsfx, zqsfx-aarch64, zqsfx.exe, zqsfx-encrypted.exe,
#             zqsfx-wide.exe                    the stubs that were built
#   share/man/man1/zqpack.1, zqsfx.1
#   share/bash-completion/completions/zqpack
# zqpack finds its default stub in lib/zqsfx through a path relative to its
# own folder, so the whole tree can live under any prefix.
include(GNUInstallDirs)

set(ZQ_INSTALL_STUBDIR lib/zqsfx CACHE STRING "Where the stubs are installed, relative to the prefix")
file(RELATIVE_PATH zq_stub_dir_from_bin /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${ZQ_INSTALL_STUBDIR})
target_compile_definitions(zqpack PRIVATE ZQ_STUB_DIR="${zq_stub_dir_from_bin}")

install(TARGETS zqpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS $<TARGET_FILE:zqsfx> DESTINATION ${ZQ_INSTALL_STUBDIR})
if(ZQ_AARCH64_STUB)
  install(PROGRAMS ${ZQ_AARCH64_STUB} DESTINATION ${ZQ_INSTALL_STUBDIR} RENAME zqsfx-aarch64)
endif()
if(ZQ_WIN32_STUB)
  install(PROGRAMS ${ZQ_WIN32_STUB} DESTINATION ${ZQ_INSTALL_STUBDIR} RENAME zqsfx.exe)
  install(PROGRAMS ${ZQ_WIN32_ENCRYPTED_STUB} ${ZQ_WIN32_WIDE_STUB}
          DESTINATION ${ZQ_INSTALL_STUBDIR})
endif()

# The pages name the stubs' folder as installed, which only the install step
# knows (a package installs under another prefix than the build's).
set(zq_man_build ${CMAKE_BINARY_DIR}/man)
foreach(page zqpack.1 zqsfx.1)
  install(CODE "
    set(VERSION \"${PROJECT_VERSION}\")
    set(STUBDIR \"\${CMAKE_INSTALL_PREFIX}/${ZQ_INSTALL_STUBDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/docs/man/${page}\" \"${zq_man_build}/${page}\" @ONLY)")
  install(FILES ${zq_man_build}/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/scripts/completion/zqpack.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zqpack)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zqsfx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-extracting archives: the zqpack packer and the zqsfx stubs")
set(CPACK_PACKAGE_CONTACT "zqsfx developers <zqsfx@localhost>" CACHE STRING "Maintainer of the .deb")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_STRIP_FILES TRUE)
# zqpack's own libraries (the stubs are static and need none).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
