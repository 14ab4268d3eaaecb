# Writes one service file at install time, with the paths of the daemon and the device database
# under the prefix of this install (`cmake --install --prefix P` included), so the unit and the
# init script always name the files installed next to them. Read by install(CODE) with:
#   ORV_SRC        the template (packaging/orv-mdm.service, orv-mdm.init or orv-mdm.default)
#   ORV_DEST_DIR   its folder, relative to the prefix or absolute
#   ORV_DEST_NAME  its file name
#   ORV_MODE       its permissions (configure_file FILE_PERMISSIONS)
#   ORV_SBINDIR, ORV_DATADIR   the install folders, relative to the prefix or absolute
#   ORV_KEEP       when true, a file already there is left as it is (local settings)
function(orv_under_prefix out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

orv_under_prefix(ORV_INSTALL_SBINDIR "${ORV_SBINDIR}")
orv_under_prefix(ORV_INSTALL_DATADIR "${ORV_DATADIR}")
# As GNUInstallDirs has it, the configuration folder of the /usr prefix is /etc, not /usr/etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND ORV_DEST_DIR MATCHES "^etc(/|$)")
  set(orv_dest_dir "/${ORV_DEST_DIR}")
else()
  orv_under_prefix(orv_dest_dir "${ORV_DEST_DIR}")
endif()
set(orv_dest "$ENV{DESTDIR}${orv_dest_dir}/${ORV_DEST_NAME}")
if(ORV_KEEP AND EXISTS "${orv_dest}")
  message(STATUS "Kept: ${orv_dest} (local settings)")
else()
  message(STATUS "Installing: ${orv_dest}")
  configure_file("${ORV_SRC}" "${orv_dest}" @ONLY FILE_PERMISSIONS ${ORV_MODE})
endif()
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${orv_dest}")
