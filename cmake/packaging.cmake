# What `cmake --install` puts where: the tool and the simulator in bin/,
# their manual pages (gzipped, as Debian has them) in share/man/man1/, the
# README in share/doc/travek32/. Nothing of the tests or the benchmark is
# installed.
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
