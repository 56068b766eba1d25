# The pinned release table's measured facts: the SHA-256 digest and size of
# every stand-in artifact in releases/, written into a generated source. The
# table's shape (versions, platforms, order, addresses) lives in
# src/software/release_table.cpp; this only measures the files it names.
# A change to any file in releases/ re-runs this at the next build.
file(GLOB VELK_RELEASE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/releases/velk-*)
list(SORT VELK_RELEASE_FILES)
if(NOT VELK_RELEASE_FILES)
  message(FATAL_ERROR "releases/ holds no artifact files")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VELK_RELEASE_FILES})

set(VELK_RELEASE_ROWS "")
foreach(path ${VELK_RELEASE_FILES})
  get_filename_component(name ${path} NAME)
  file(SHA256 ${path} digest)
  file(SIZE ${path} size)
  string(APPEND VELK_RELEASE_ROWS "    {\"${name}\", \"sha256:${digest}\", ${size}ULL},\n")
endforeach()

# file(CONFIGURE) rewrites the output only when its content changes, so an
# unchanged table does not rebuild anything.
file(CONFIGURE OUTPUT ${VELK_GENERATED_DIR}/release_files.cpp CONTENT [[
// Generated from releases/ at configure time; do not edit.
#include "software/release_files.h"

namespace velk {

std::span<const ReleaseFile> release_files() {
  static const ReleaseFile files[] = {
@VELK_RELEASE_ROWS@  };
  return files;
}

}  // namespace velk
]] @ONLY)
set(VELK_RELEASES_SOURCE ${VELK_GENERATED_DIR}/release_files.cpp)
