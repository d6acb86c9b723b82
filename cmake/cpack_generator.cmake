# Read by cpack once per generator: the Debian package installs under /usr, the archive keeps
# its paths relative to its top folder.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
