# What `cmake --install` puts where (GNUInstallDirs below the prefix):
#   lib/libMailStorage.so.0.x.y, .so.0, .so   the library (the unversioned
#                                             link only for linking)
#   include/mailstorage/MailStorage.h         its two functions, result codes
#   lib/pkgconfig/mailstorage.pc
#   libexec/mailstorage/                      the two tools, and LogDir: the
#                                             library logs beside its host's
#                                             executable, so this links to
#                                             var/log/mailstorage
#   bin/mailstorage-import, -check            links to the tools in libexec
#   share/mailstorage/                        schema files and the demo seed
#   share/man/man1/                           the tools' manual pages
#   etc/mailstorage/registry.reg              template, owner read-write,
#                                             group read (it gets a password)
# Nothing of the tests, benchmarks or fuzz targets is installed.

set(MS_TOOLDIR ${CMAKE_INSTALL_LIBEXECDIR}/mailstorage)
set(MS_FULL_TOOLDIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/mailstorage)
set(MS_FULL_LOGDIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/mailstorage)
set(MS_LINKS ${CMAKE_BINARY_DIR}/install-links)

# A link to `target` named `name`, made in the build tree and installed as a
# link into `destination`: relative within one top-level directory, absolute
# across them (as Debian wants it, and so a DESTDIR install stays whole).
function(ms_install_link name target full_destination)
  file(RELATIVE_PATH relative ${full_destination} ${target})
  string(REGEX MATCH "^/[^/]*" top_target "${target}")
  string(REGEX MATCH "^/[^/]*" top_destination "${full_destination}")
  if(top_target STREQUAL top_destination)
    set(target ${relative})
  endif()
  file(MAKE_DIRECTORY ${MS_LINKS}/${full_destination})
  file(CREATE_LINK ${target} ${MS_LINKS}/${full_destination}/${name} SYMBOLIC)
  install(FILES ${MS_LINKS}/${full_destination}/${name} DESTINATION ${full_destination})
endfunction()

install(TARGETS MailStorage LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/mailstorage/MailStorage.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mailstorage)

set(MAILSTORAGE_SONAME libMailStorage.so.${PROJECT_VERSION_MAJOR})
set(MS_DL_FLAG)
if(CMAKE_DL_LIBS)
  set(MS_DL_FLAG -l${CMAKE_DL_LIBS})
endif()
configure_file(cmake/mailstorage.pc.in ${CMAKE_BINARY_DIR}/mailstorage.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/mailstorage.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(ms_tools mailstorage-import)
if(TARGET mailstorage-check)
  list(APPEND ms_tools mailstorage-check)
endif()
install(TARGETS ${ms_tools} RUNTIME DESTINATION ${MS_TOOLDIR})
foreach(tool ${ms_tools})
  ms_install_link(${tool} ${MS_FULL_TOOLDIR}/${tool} ${CMAKE_INSTALL_FULL_BINDIR})
endforeach()
ms_install_link(LogDir ${MS_FULL_LOGDIR} ${MS_FULL_TOOLDIR})
# The log directory is the installing account's; a package makes it root's.
install(DIRECTORY DESTINATION ${MS_FULL_LOGDIR}
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

install(FILES db/schema/postgresql.sql db/schema/oracle.sql db/schema/demo-seed.sql
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mailstorage)
# The registry file gets the database password: installing again (an
# upgrade from source) keeps the one in place. A package's staging directory
# never has one, and dpkg keeps it as a configuration file.
install(CODE "
  set(registry \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_SYSCONFDIR}/mailstorage/registry.reg\")
  if(EXISTS \"\${registry}\")
    message(STATUS \"Keeping: \${registry}\")
  else()
    file(INSTALL \"${PROJECT_SOURCE_DIR}/cmake/registry.reg\"
         DESTINATION \"${CMAKE_INSTALL_FULL_SYSCONFDIR}/mailstorage\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
  endif()")

# Manual pages from the tools' --help, remade whenever a tool is rebuilt.
# Not in a sanitizer build, whose tools are not installed.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT MAILSTORAGE_SANITIZE)
  set(pages)
  set(mailstorage-import_name "import mail into a MailStorage store through libMailStorage.so.0")
  set(mailstorage-check_name "find and repair what a MailStorage store holds unused or misses")
  foreach(tool ${ms_tools})
    set(page ${CMAKE_BINARY_DIR}/man/${tool}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
              --version-string=${PROJECT_VERSION} "--name=${${tool}_name}"
              --output=${CMAKE_BINARY_DIR}/man/${tool}.1 $<TARGET_FILE:${tool}>
      COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/${tool}.1
      DEPENDS ${tool}
      VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(man-pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found or sanitizer build: no manual pages")
endif()
