# The manual pages: scdoc sources in docs/man, turned into roff at build time
# and compressed for installation. The roff stays in the build tree so that
# the tests can read what a reader of the page reads.
find_program(VELK_SCDOC scdoc)
if(NOT VELK_SCDOC)
  message(FATAL_ERROR "scdoc builds the manual pages; scripts/bootstrap.sh installs it")
endif()
find_program(VELK_GZIP gzip REQUIRED)

# The date at the foot of every page, fixed so that a build is reproducible.
# Move it when the pages change.
set(VELK_MAN_DATE_EPOCH 1796515200)  # 2026-12-06

set(VELK_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(VELK_MAN_PAGES velk-setup-system.1 velk-setup-system-protocol.7)
set(VELK_MAN_OUTPUTS "")
foreach(page ${VELK_MAN_PAGES})
  set(source ${CMAKE_SOURCE_DIR}/docs/man/${page}.scd)
  add_custom_command(
    OUTPUT ${VELK_MAN_DIR}/${page} ${VELK_MAN_DIR}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -DSCDOC=${VELK_SCDOC} -DGZIP=${VELK_GZIP}
            -DEPOCH=${VELK_MAN_DATE_EPOCH} -DINPUT=${source} -DOUTPUT=${VELK_MAN_DIR}/${page}
            -P ${CMAKE_SOURCE_DIR}/cmake/scdoc.cmake
    DEPENDS ${source} ${CMAKE_SOURCE_DIR}/cmake/scdoc.cmake
    COMMENT "Writing the manual page ${page}"
    VERBATIM)
  list(APPEND VELK_MAN_OUTPUTS ${VELK_MAN_DIR}/${page} ${VELK_MAN_DIR}/${page}.gz)
  string(REGEX MATCH "[0-9]+$" section ${page})
  install(FILES ${VELK_MAN_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(velk-man ALL DEPENDS ${VELK_MAN_OUTPUTS})
