# Sources generated at build time from files kept in the tree (the built-in
# setup catalog, the pinned release table). Each generator appends to
# VELK_GENERATED_SOURCES.
set(VELK_GENERATED_SOURCES "")

include(${CMAKE_CURRENT_LIST_DIR}/setups.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/releases.cmake)
