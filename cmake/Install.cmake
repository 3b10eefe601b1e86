# `make install` / `cmake --install`: the install directory the daemon derives
# its paths from (<prefix>/src/lyrd, <prefix>/www/settings.json,
# <prefix>/scripts/get_uuid), the systemd unit, and a media directory.
#
# Chosen at install time through the environment, so one build can be
# installed to several places without reconfiguring:
#   DESTDIR               staging root put in front of every path
#   LYRD_MEDIA_DIR        media directory (default /home/lyr/media)
#   LYRD_SYSTEMD_UNIT_DIR where lyrd.service goes (default /etc/systemd/system)

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/lyrd CACHE PATH "Install directory of lyrd" FORCE)
endif()

install(TARGETS lyrd RUNTIME DESTINATION src)
# The whole www/ folder: the settings description and the web page's files.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/www/ DESTINATION www)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/get_uuid DESTINATION scripts)

set(LYRD_UNIT_TEMPLATE ${CMAKE_SOURCE_DIR}/systemd/lyrd.service.in)
set(LYRD_UNIT_STAGE ${CMAKE_BINARY_DIR}/systemd/lyrd.service)
install(CODE "

  # The media directory holds the user's shows and settings: create what is
  # missing, never overwrite what is there.  A reinstall keeps the pointer to
  # it (www/media_root.txt) unless LYRD_MEDIA_DIR names a new one.
  set(lyrd_media \"\$ENV{LYRD_MEDIA_DIR}\")
  set(lyrd_root_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/www/media_root.txt\")
  if(lyrd_media STREQUAL \"\" AND EXISTS \"\${lyrd_root_file}\")
    file(READ \"\${lyrd_root_file}\" lyrd_media)
    string(STRIP \"\${lyrd_media}\" lyrd_media)
  endif()
  if(lyrd_media STREQUAL \"\")
    set(lyrd_media /home/lyr/media)
  endif()
  if(NOT EXISTS \"\${lyrd_root_file}\" OR NOT \"\$ENV{LYRD_MEDIA_DIR}\" STREQUAL \"\")
    message(STATUS \"Installing: \${lyrd_root_file} (media directory \${lyrd_media})\")
    file(WRITE \"\${lyrd_root_file}\" \"\${lyrd_media}\\n\")
  endif()
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${CMAKE_INSTALL_PREFIX}/www/media_root.txt\")
  if(NOT EXISTS \"\$ENV{DESTDIR}\${lyrd_media}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${lyrd_media}\")
  endif()
  if(NOT EXISTS \"\$ENV{DESTDIR}\${lyrd_media}/settings\")
    file(WRITE \"\$ENV{DESTDIR}\${lyrd_media}/settings\" \"\")
  endif()
  # The unit runs the daemon as the account lyr, which must own the media
  # directory; on the machine itself (no DESTDIR) hand it over if it exists.
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
    execute_process(COMMAND id -u lyr RESULT_VARIABLE lyrd_no_user OUTPUT_QUIET ERROR_QUIET)
    if(lyrd_no_user)
      message(STATUS \"The unit runs lyrd as user lyr, which does not exist: see README, Install on a board\")
    else()
      execute_process(COMMAND chown lyr:lyr \"\${lyrd_media}\" \"\${lyrd_media}/settings\")
    endif()
  endif()

  set(lyrd_unit_dir \"\$ENV{LYRD_SYSTEMD_UNIT_DIR}\")
  if(lyrd_unit_dir STREQUAL \"\")
    set(lyrd_unit_dir /etc/systemd/system)
  endif()
  # The unit makes the media directory writable for the service.
  set(LYRD_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(LYRD_MEDIA_DIR \"\${lyrd_media}\")
  configure_file(\"${LYRD_UNIT_TEMPLATE}\" \"${LYRD_UNIT_STAGE}\" @ONLY)
  file(INSTALL DESTINATION \"\${lyrd_unit_dir}\" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${LYRD_UNIT_STAGE}\")
" COMPONENT local)
