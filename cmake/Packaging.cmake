# Installation and the Debian package.
#
#   cmake --install build --prefix /usr/local   binary, man page, shell completions
#   make package                                build/spansift_<version>_<arch>.deb
#
# Included from the top-level CMakeLists.txt after the spansift target exists.

include(GNUInstallDirs)

# The man page is installed compressed, as Debian expects; -n keeps the name
# and time stamp out of the archive so that builds are reproducible.
find_program(SPANSIFT_GZIP gzip REQUIRED)
set(SPANSIFT_MAN_SOURCE ${PROJECT_SOURCE_DIR}/man/spansift.1)
set(SPANSIFT_MAN_GZ ${PROJECT_BINARY_DIR}/spansift.1.gz)
add_custom_command(
  OUTPUT ${SPANSIFT_MAN_GZ}
  COMMAND ${SPANSIFT_GZIP} -9 -n -c ${SPANSIFT_MAN_SOURCE} > ${SPANSIFT_MAN_GZ}
  DEPENDS ${SPANSIFT_MAN_SOURCE}
  COMMENT "Compressing the man page"
  VERBATIM)
add_custom_target(spansift_man ALL DEPENDS ${SPANSIFT_MAN_GZ})

install(TARGETS spansift RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${SPANSIFT_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# bash-completion loads a command's completion on demand from a file named
# after the command.
install(FILES ${PROJECT_SOURCE_DIR}/completion/spansift.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME spansift)
# The folders that Debian's zsh and fish packages keep for completions that
# other packages ship; both are on those shells' default search paths.
install(FILES ${PROJECT_SOURCE_DIR}/completion/_spansift
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${PROJECT_SOURCE_DIR}/completion/spansift.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

set(SPANSIFT_MAINTAINER "spansift maintainers <maintainers@spansift.example>"
    CACHE STRING "Maintainer line of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME spansift)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "spansift")
set(CPACK_PACKAGE_CONTACT "${SPANSIFT_MAINTAINER}")
# The tool's own description, as its help shows it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Show the Jaeger-traces, or a selection of jaeger-traces, as Pretty-printed JSON in UTF-8 format")
# The long description, in lines short enough for the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "spansift reads trace exports of the Jaeger distributed-tracing system,"
  "one file or a folder of them, in UTF-8 or UTF-16 with a byte-order mark,"
  "and writes every trace, or a selection by trace ID, into a file of its"
  "own in a folder named Jaeger, as pretty-printed JSON in UTF-8.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SPANSIFT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# spansift_0.2.2_amd64.deb, with the architecture that dpkg reports; a
# cross build's package is of the architecture it builds for, Debian's name
# for the toolchain's (aarch64-linux-gnu: arm64).
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CMAKE_CROSSCOMPILING)
  execute_process(
    COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -q DEB_HOST_ARCH
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "dpkg-architecture (dpkg-dev) names no Debian architecture for "
                        "'${CMAKE_LIBRARY_ARCHITECTURE}'")
  endif()
endif()
if(SPANSIFT_STATIC)
  # A static binary links no shared library: there is no Depends to compute.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
  # Depends is computed by dpkg-shlibdeps (dpkg-dev) from the libraries that
  # the binary links, ICU and Boost.JSON among them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/examples/Jaeger/")

include(CPack)
