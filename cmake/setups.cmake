# The built-in setup catalog: every file under setups/velk-build is embedded
# into the program as (relative path, bytes), in byte order of the relative
# paths, which is the order in which the catalog is written out. The glob is
# re-checked at every build, and each file is a dependency of the generated
# source, so adding, removing or editing a setup file changes the binary.
set(VELK_SETUPS_DIR ${CMAKE_SOURCE_DIR}/setups/velk-build)
file(GLOB_RECURSE VELK_SETUP_FILES CONFIGURE_DEPENDS LIST_DIRECTORIES false
  ${VELK_SETUPS_DIR}/*)
set(VELK_SETUPS_SOURCE ${VELK_GENERATED_DIR}/builtin_setups.cpp)
# The file list itself is a dependency too: removing a file changes no
# remaining file, but it changes this list (rewritten only when different).
set(VELK_SETUPS_LIST ${VELK_GENERATED_DIR}/builtin_setups.list)
string(REPLACE ";" "\n" VELK_SETUPS_LIST_TEXT "${VELK_SETUP_FILES}")
file(CONFIGURE OUTPUT ${VELK_SETUPS_LIST} CONTENT "${VELK_SETUPS_LIST_TEXT}\n" @ONLY)
add_custom_command(
  OUTPUT ${VELK_SETUPS_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DSETUPS_DIR=${VELK_SETUPS_DIR} -DOUTPUT=${VELK_SETUPS_SOURCE}
          -P ${CMAKE_SOURCE_DIR}/cmake/embed_setups.cmake
  DEPENDS ${VELK_SETUP_FILES} ${VELK_SETUPS_LIST} ${CMAKE_SOURCE_DIR}/cmake/embed_setups.cmake
  COMMENT "Embedding the built-in setup catalog"
  VERBATIM)
