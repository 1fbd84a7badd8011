# Installing tarnhop beside its binary: the manual page and the bash completion, and the
# Debian package built from the same install rules (cpack -G DEB). A Windows build
# installs the program alone and packs it as a zip file.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME tarnhop)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  include(CPack)
  return()
endif()

include(GNUInstallDirs)

set(TARNHOP_MAN_PAGE ${CMAKE_CURRENT_SOURCE_DIR}/man/tarnhop.1)
set(TARNHOP_COMPLETION ${CMAKE_CURRENT_SOURCE_DIR}/completion/tarnhop)

# Manual pages are installed compressed, as Debian's policy asks: gzip -9 without the
# file name and time stamp in the header, so the same page always gives the same bytes.
find_program(TARNHOP_GZIP gzip)
if(TARNHOP_GZIP)
  set(TARNHOP_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/man/tarnhop.1.gz)
  add_custom_command(
    OUTPUT ${TARNHOP_MAN_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${TARNHOP_GZIP} -9 -n -c ${TARNHOP_MAN_PAGE} > ${TARNHOP_MAN_GZ}
    DEPENDS ${TARNHOP_MAN_PAGE}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(tarnhop_man ALL DEPENDS ${TARNHOP_MAN_GZ})
  install(FILES ${TARNHOP_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${TARNHOP_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# bash-completion loads share/bash-completion/completions/<command> on first use.
install(FILES ${TARNHOP_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# ---- Debian package -----------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnhop)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarnhop developers")
set(CPACK_PACKAGE_CONTACT "tarnhop developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "trace the route to an IPv4 host, or ping it")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME tarnhop)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tarnhop developers")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line of the package's description; CPack indents these
# lines and turns the empty one into the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tarnhop sends ICMP echo requests (or UDP datagrams with -u) with a rising
time-to-live and prints one line per hop: the round-trip time of each probe
and the name and address of the router that answered. With -o it only pings
the target. Reverse-DNS answers can be kept in a cache file between runs.

An ordinary user can trace where net.ipv4.ping_group_range allows ping
sockets; otherwise give the binary cap_net_raw (see tarnhop(1)). The package
sets no setuid bit and no file capability.")
# Depends is worked out by dpkg-shlibdeps from the binary: libstdc++ and libgcc are
# linked in statically, so it names the C library alone.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Directories the package shares with the system stay root-owned 0755, files 0644.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
