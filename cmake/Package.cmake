# `make deb`: a Debian package of the daemon built by CPack's DEB generator
# from this build tree (no second build), with dpkg-shlibdeps for the library
# dependencies.
#
# Layout: the install tree the daemon derives its paths from is
# /usr/lib/lyrd (src/lyrd, www/, scripts/get_uuid); the media pointer
# www/media_root.txt is a link to the conffile /etc/lyrd/media_root.txt, so an
# upgrade keeps the administrator's choice; the unit, the documentation and
# the changelog go where Debian keeps them.  The media directory and the
# service account are made by the maintainer scripts in packaging/deb/.

# cpack installs without building every target first: `make deb` builds the
# daemon itself, and the tests and benchmarks are not packaged.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(LYRD_DEB_PREFIX /usr/lib/lyrd)
set(LYRD_DEB_MEDIA_DIR /home/lyr/media)
set(LYRD_DEB_MAINTAINER "lyrd developers <developers@lyrd.invalid>")
set(LYRD_DEB_STAGE ${CMAKE_BINARY_DIR}/packaging)

# Package version from the text getLyrVersion reports: "v1.2.3" -> "1.2.3",
# "1.2.3-12-gabcdef" -> "1.2.3+12.gabcdef", an untagged "0.1.0-gabcdef" ->
# "0.1.0+git<commits>.gabcdef" (the count keeps later builds sorting later),
# "-dirty" -> ".dirty".  -DLYRD_DEB_VERSION= overrides it.
function(lyrd_debian_version text out)
  string(REGEX REPLACE "^[vV]([0-9])" "\\1" v "${text}")
  if(v STREQUAL "")
    set(v 0.1.0)
  endif()
  set(dirty "")
  if(v MATCHES "-dirty$")
    string(REGEX REPLACE "-dirty$" "" v "${v}")
    set(dirty ".dirty")
  endif()
  if(v MATCHES "^([0-9][^-]*)-([0-9]+)-g([0-9a-f]+)$")
    set(v "${CMAKE_MATCH_1}+${CMAKE_MATCH_2}.g${CMAKE_MATCH_3}")
  elseif(v MATCHES "^([0-9][^-]*)-g([0-9a-f]+)$")
    set(base "${CMAKE_MATCH_1}")
    set(hash "${CMAKE_MATCH_2}")
    set(count 0)
    if(GIT_FOUND)
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    set(v "${base}+git${count}.g${hash}")
  endif()
  string(REGEX REPLACE "[^A-Za-z0-9.+~]" "." v "${v}")
  set(${out} "${v}${dirty}" PARENT_SCOPE)
endfunction()

find_package(Git QUIET)
lyrd_debian_version("${LYRD_VERSION_TEXT}" LYRD_DEB_VERSION_DEFAULT)
set(LYRD_DEB_VERSION "" CACHE STRING "Debian package version (empty: from the source tree's version)")
set(LYRD_DEB_VERSION_USED "${LYRD_DEB_VERSION}")
if(LYRD_DEB_VERSION_USED STREQUAL "")
  set(LYRD_DEB_VERSION_USED "${LYRD_DEB_VERSION_DEFAULT}")
endif()

# The changelog's date is the commit's, so two builds of one commit match.
set(LYRD_DEB_DATE "")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%aD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE LYRD_DEB_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(LYRD_DEB_DATE STREQUAL "")
  string(TIMESTAMP LYRD_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
configure_file(${CMAKE_SOURCE_DIR}/packaging/deb/changelog.in ${LYRD_DEB_STAGE}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${LYRD_DEB_STAGE}/changelog)

# The unit as the package installs it.
set(LYRD_PREFIX ${LYRD_DEB_PREFIX})
set(LYRD_MEDIA_DIR ${LYRD_DEB_MEDIA_DIR})
configure_file(${CMAKE_SOURCE_DIR}/systemd/lyrd.service.in ${LYRD_DEB_STAGE}/lyrd.service @ONLY)
file(WRITE ${LYRD_DEB_STAGE}/media_root.txt "${LYRD_DEB_MEDIA_DIR}\n")

install(FILES ${LYRD_DEB_STAGE}/lyrd.service DESTINATION /lib/systemd/system COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${LYRD_DEB_STAGE}/media_root.txt DESTINATION /etc/lyrd COMPONENT deb EXCLUDE_FROM_ALL)
install(CODE "file(CREATE_LINK /etc/lyrd/media_root.txt \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/www/media_root.txt\" SYMBOLIC)"
  COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${LYRD_DEB_STAGE}/changelog.gz ${CMAKE_SOURCE_DIR}/packaging/deb/copyright
  ${CMAKE_SOURCE_DIR}/packaging/deb/README.Debian ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION /usr/share/doc/lyrd COMPONENT deb EXCLUDE_FROM_ALL)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION /usr/share/doc/lyrd/docs COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lyrd)
set(CPACK_PACKAGE_VERSION ${LYRD_DEB_VERSION_USED})
set(CPACK_DEBIAN_PACKAGE_VERSION ${LYRD_DEB_VERSION_USED})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${LYRD_DEB_PREFIX})
set(CPACK_INSTALL_PREFIX ${LYRD_DEB_PREFIX})
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified deb)
set(CPACK_DEBIAN_PACKAGE_NAME lyrd)
set(CPACK_PACKAGE_CONTACT "${LYRD_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LYRD_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "light-show player daemon")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "lyrd plays show playlists (channel-data sequences, audio and video, scripts,
pauses, commands) on a calendar schedule, keeps several boards in step over
the LAN, serves an HTTP API and a local command socket, draws pixel overlays
and sends channel data to the lights over E1.31.
.
It runs as the sandboxed system service lyrd.service under its own account
lyr, with its shows in /home/lyr/media.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gdb, zip, curl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/deb/postinst ${CMAKE_SOURCE_DIR}/packaging/deb/prerm
  ${CMAKE_SOURCE_DIR}/packaging/deb/postrm ${CMAKE_SOURCE_DIR}/packaging/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
