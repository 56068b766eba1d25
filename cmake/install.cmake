# Install rules and the Debian package.
#
# `cmake --install build --prefix P` lays the program out the way Debian
# lays out a program with private data: the program in
# P/lib/velk-setup-system, its setup catalog beside it in
# P/lib/velk-setup-system/setups/velk-build (where the program looks first,
# from its own real directory, so it never writes the built-in copy out),
# and P/bin/velk-setup-system a relative link to the program. The manual
# pages (cmake/man.cmake) and the completion scripts (tools/completion) go
# to their conventional places under P/share, the guides and the example
# consumer session to P/share/doc/velk-setup-system.
set(VELK_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/velk-setup-system)
set(VELK_PRIVATE_DIR lib/velk-setup-system)
install(TARGETS velk-setup-system RUNTIME DESTINATION ${VELK_PRIVATE_DIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/setups/velk-build DESTINATION ${VELK_PRIVATE_DIR}/setups
        USE_SOURCE_PERMISSIONS)
install(CODE "
  set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(MAKE_DIRECTORY \"\${bin}\")
  file(REMOVE \"\${bin}/velk-setup-system\")
  file(CREATE_LINK ../${VELK_PRIVATE_DIR}/velk-setup-system \"\${bin}/velk-setup-system\" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/velk-setup-system\")
")
install(FILES ${CMAKE_SOURCE_DIR}/docs/user-guide.md ${CMAKE_SOURCE_DIR}/docs/protocol-guide.md
        ${CMAKE_SOURCE_DIR}/docs/troubleshooting.md
        DESTINATION ${VELK_DOC_DIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/examples/protocol_session.py
        DESTINATION ${VELK_DOC_DIR}/examples)

# The version is the one the program prints; the package check compares the
# two.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/product/declaration.cpp VELK_VERSION_LINE
     REGEX "\\.provider_version = \"[^\"]+\"")
string(REGEX MATCH "\"([^\"]+)\"" _ "${VELK_VERSION_LINE}")
set(VELK_VERSION "${CMAKE_MATCH_1}")
if(NOT VELK_VERSION)
  message(FATAL_ERROR "no provider_version found in src/product/declaration.cpp")
endif()

set(VELK_PACKAGE_MAINTAINER "velk-setup-system maintainers <maintainers@velk-setup-system.example>"
    CACHE STRING "The Maintainer field of the Debian package")

# Debian wants a copyright file and a changelog beside the documentation. They
# belong to the package only, so a plain install leaves them out.
set(_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${VELK_MAN_DATE_EPOCH})
string(TIMESTAMP VELK_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_saved_epoch}")
set(VELK_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in ${VELK_DEBIAN_DIR}/changelog @ONLY)
execute_process(COMMAND ${VELK_GZIP} -9 -n -c ${VELK_DEBIAN_DIR}/changelog
                OUTPUT_FILE ${VELK_DEBIAN_DIR}/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${VELK_DEBIAN_DIR}/changelog.gz
        DESTINATION ${VELK_DOC_DIR} COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velk-setup-system)
set(CPACK_PACKAGE_VERSION ${VELK_VERSION})
set(CPACK_PACKAGE_CONTACT ${VELK_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "installs, reports on and reverses the configuration of Velk Build")
# The summary above is the synopsis line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"velk-setup-system writes a named setup of Velk Build (by Orlix) into a
directory the caller names, reports what it holds and whether it has drifted,
and puts it back. Every change is captured first in a rolling pool of
backups and runs as one journaled change that an interruption cannot leave
half made.
.
Consumer programs drive the same machinery through a two-phase JSON
protocol (plan, then apply exactly that plan), with setup content delivered
as strictly shaped ZIP bundles. The program also installs pinned versions of
the product's executable into a prefix, with rollback and a verified launch.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VELK_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps sees only the libraries the program links; the Unicode
# library it loads when first needed is named here, by the package that
# holds the library this build compiled against.
set(velk_loaded_packages "")
foreach(library ${ICU_UC_LIBRARY})
  get_filename_component(resolved ${library} REALPATH)
  execute_process(COMMAND dpkg-query -S ${resolved} OUTPUT_VARIABLE owner
                  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX MATCH "^[^:]+" owner "${owner}")
  if(owner)
    list(APPEND velk_loaded_packages ${owner})
  else()
    message(WARNING "no Debian package holds ${resolved}; the package will not depend on it")
  endif()
endforeach()
string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_DEPENDS "${velk_loaded_packages}")
# The program needs nothing but its libraries; the consumer library it
# carries under the system's Python needs Python itself, and the bash
# completion it carries does nothing without bash-completion.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3 (>= 3.11), bash-completion")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Everything a plain install lays out, then the package's own files.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};velk-setup-system;ALL;/"
    "${CMAKE_BINARY_DIR};velk-setup-system;debian;/")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
