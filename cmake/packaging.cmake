# Install rules and the release packages CPack builds from them (`make dist`):
#   Windows (the mingw-w64 cross build): hostvigil-<version>-windows-x86_64.zip
#   Linux: hostvigil-<version>-linux-x86_64.tar.gz and the Debian package hostvigil_<version>-<release>_amd64.deb
# The archives hold one top folder; the Debian package installs /usr/bin/hostvigil, the systemd
# units and the documentation under /usr/share/doc/hostvigil.

# What the project has no real value for yet: set these when releasing.
set(HOSTVIGIL_MAINTAINER "hostvigil maintainers <maintainers@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")
set(HOSTVIGIL_COPYRIGHT_HOLDER "the hostvigil developers"
    CACHE STRING "Copyright holder named in the Debian copyright file")
set(HOSTVIGIL_COPYRIGHT_YEARS "2026" CACHE STRING "Years of the copyright notice")
set(HOSTVIGIL_LICENSE_NAME "other" CACHE STRING "License short name in the Debian copyright file")
set(HOSTVIGIL_LICENSE_TEXT "No licence has been chosen yet; all rights reserved."
    CACHE STRING "License text in the Debian copyright file")
set(HOSTVIGIL_RELEASE_DATE "Thu, 10 Dec 2026 00:00:00 +0000"
    CACHE STRING "Date of the release in the Debian changelog (RFC 2822)")
set(HOSTVIGIL_DEB_RELEASE "1" CACHE STRING "Debian revision of the package")

set(CPACK_PACKAGE_NAME hostvigil)
set(CPACK_PACKAGE_VENDOR "${HOSTVIGIL_COPYRIGHT_HOLDER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host monitor that alerts by e-mail, Telegram and Teams")
set(CPACK_PACKAGE_CONTACT "${HOSTVIGIL_MAINTAINER}")
if(NOT CPACK_OUTPUT_FILE_PREFIX)
    set(CPACK_OUTPUT_FILE_PREFIX "${PROJECT_SOURCE_DIR}/dist")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
    install(TARGETS hostvigil RUNTIME DESTINATION .)
    install(FILES README.md DESTINATION .)
    install(DIRECTORY examples/ DESTINATION examples)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME "hostvigil-${PROJECT_VERSION}-windows-x86_64")
else()
    set(doc_dir share/doc/hostvigil)
    install(TARGETS hostvigil RUNTIME DESTINATION bin)
    install(FILES README.md DESTINATION ${doc_dir})
    install(DIRECTORY examples/ DESTINATION ${doc_dir}/examples)
    install(FILES packaging/hostvigil.service packaging/hostvigil@.service
            DESTINATION lib/systemd/system)

    # The copyright file and the compressed changelog every Debian package carries.
    set(deb_version "${PROJECT_VERSION}-${HOSTVIGIL_DEB_RELEASE}")
    configure_file(packaging/copyright.in ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
    configure_file(packaging/changelog.Debian.in ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
                   @ONLY)
    # gzip -n: no name or time stamp inside, so the same input gives the same package.
    execute_process(COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
                    OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
                    RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
        message(FATAL_ERROR "gzip of the Debian changelog failed: ${gzip_result}")
    endif()
    execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/hostvigil.1
                    OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/hostvigil.1.gz
                    RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
        message(FATAL_ERROR "gzip of the manual page failed: ${gzip_result}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 packaging/hostvigil.1 packaging/copyright.in packaging/changelog.Debian.in)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright
                  ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
            DESTINATION ${doc_dir})
    install(FILES ${CMAKE_BINARY_DIR}/packaging/hostvigil.1.gz DESTINATION share/man/man1)
    install(FILES packaging/lintian-overrides DESTINATION share/lintian/overrides
            RENAME hostvigil)

    set(CPACK_GENERATOR "TGZ;DEB")
    set(CPACK_PACKAGE_FILE_NAME "hostvigil-${PROJECT_VERSION}-linux-x86_64")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    # The archive is laid out like /usr/local (bin/, share/, lib/); the Debian package under /usr.
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_generator.cmake)
    set(CPACK_DEBIAN_PACKAGE_RELEASE "${HOSTVIGIL_DEB_RELEASE}")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HOSTVIGIL_MAINTAINER}")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "iputils-ping, curl")
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "hostvigil watches up to 255 hosts with the system ping, and with TCP connects
when ping is blocked. A host that fails a set number of checks in a row raises
one alert; when it answers again one recovery notice follows. Notices go out by
e-mail, Telegram and Microsoft Teams through curl. A daily heartbeat shows that
the monitor itself runs.
.
The package ships systemd units for one instance in /etc/hostvigil and for one
instance per directory /etc/hostvigil/<name>.")
    # The program is linked with every relocation resolved at start-up (lintian's
    # hardening check asks for it).
    target_link_options(hostvigil PRIVATE -Wl,-z,relro -Wl,-z,now)
endif()

include(CPack)
