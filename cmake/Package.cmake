# `cpack -G DEB` in a build configured with -DCMAKE_INSTALL_PREFIX=/usr makes
# mailstorage_<version>_<arch>.deb of what `cmake --install` puts in place.
# Its run-time dependencies are Debian's: the shared libraries the library
# and the tools link (dpkg-shlibdeps: libicu, libssl, libodbc, ...), the
# unixODBC driver manager's configuration and the PostgreSQL ODBC driver.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mailstorage)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "MailStorage developers <mailstorage@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "stores e-mail files in a PostgreSQL-backed IMAP mail store")
set(CPACK_PACKAGE_DESCRIPTION
    "libMailStorage.so.0 stores one mail file per call in an IMAP mail store kept
in PostgreSQL (through unixODBC and psqlODBC) and blob files on storage
hosts. mailstorage-import imports Maildir trees, mbox files, single mails and
IMAP accounts through it; mailstorage-check finds and repairs what an
interrupted import leaves behind.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, odbc-postgresql")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(cmake/debian/conffiles.in ${CMAKE_BINARY_DIR}/debian/conffiles @ONLY)
# The library directory's cache is renewed by dpkg's ldconfig trigger; the
# maintainer scripts only look after the log directory.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/debian/conffiles ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
    ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)

# The package's copyright and changelog, where Debian expects them.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ms_changelog ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
                  OUTPUT_FILE ${ms_changelog})
  install(FILES cmake/debian/copyright ${ms_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/mailstorage)
endif()

include(CPack)
