# What `cmake --install` puts where, and the Debian package CPack makes of
# it: the tool and the simulator in bin/, their manual pages (gzipped, as
# Debian has them) in share/man/man1/, the README in share/doc/travek32/.
# Nothing of the tests or the benchmark is installed.
include(GNUInstallDirs)

install(TARGETS travek32 station-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(_travek_man_pages travek32.1 station-sim.1)
find_program(GZIP_PROGRAM gzip)
if(GZIP_PROGRAM)
  set(_travek_man_outputs)
  foreach(page IN LISTS _travek_man_pages)
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/man/${page})
    set(output ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
    # -n: no name or time stamp inside, so the same page gives the same bytes.
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
      COMMAND ${GZIP_PROGRAM} -9 -n -f ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
      DEPENDS ${source}
      COMMENT "Compressing ${page}"
      VERBATIM)
    list(APPEND _travek_man_outputs ${output})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${_travek_man_outputs})
  install(FILES ${_travek_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  list(TRANSFORM _travek_man_pages PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/man/)
  install(FILES ${_travek_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The .deb: `cpack` in the build folder (scripts/package.sh does it all).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME travek32)
set(CPACK_PACKAGE_VENDOR "travek32 developers")
set(CPACK_PACKAGE_CONTACT "travek32 developers <travek32@localhost>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console flasher for TRAVEK stations over RS-232")
set(CPACK_PACKAGE_DESCRIPTION
    "travek32 writes an image file into the flash memory of a TRAVEK station, an
embedded controller board, over an RS-232 serial line. It detects the
station's clock from the boot loader's start byte, uploads the station-side
program (the resident), moves to a faster line rate, learns the flash chips,
streams the image as CRC-checked page records under credit flow control,
follows the per-sector reports with a percentage and a status light, and
restarts the station. Its messages are in Russian.

The package also holds station-sim, a simulated station on a
pseudo-terminal, for trying the tool without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
