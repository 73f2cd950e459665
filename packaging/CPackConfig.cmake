# The Debian package: `cpack -G DEB` in a build tree (scripts/package.sh
# builds and checks it). Its runtime dependencies (the C library, MariaDB
# Connector/C, which brings OpenSSL, and the FastCGI library) come from
# dpkg-shlibdeps, which reads them off the program, so they are never
# written here; the C++ runtime is linked into the program.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vxml)
set(CPACK_PACKAGE_VENDOR "Korvelund")
set(CPACK_PACKAGE_CONTACT "vxml.cgi maintainers <vxml@korvelund.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "VoiceXML pages for a telephone voice portal (CGI program)")
set(CPACK_PACKAGE_DESCRIPTION
    "vxml.cgi answers the speech browser of a telephone system's voice portal:
a DTMF dial-out menu, a call-back page that looks the dialled number up in
the telephone system's LDAP directory, and recorded voicemail messages. A
web server with CGI (Apache httpd with mod_cgid, or mod_cgi under the
prefork MPM; or lighttpd with mod_cgi) runs it from /usr/lib/cgi-bin; the
same program also runs as a FastCGI application (lighttpd's mod_fastcgi,
Apache's mod_fcgid), answering many requests per process. The
documentation, with the deployment steps, and an example settings file are
in /usr/share/doc/vxml.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "apache2 | lighttpd, libapache2-mod-fcgid")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian wants a copyright file and a compressed changelog in the package's
# documentation directory.
set(vxml_changelog ${PROJECT_BINARY_DIR}/packaging/changelog)
string(TIMESTAMP vxml_package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${vxml_changelog}
  "vxml (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n"
  " -- ${CPACK_PACKAGE_CONTACT}  ${vxml_package_date}\n")
execute_process(COMMAND gzip -9nf ${vxml_changelog} COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${vxml_changelog}.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The scheduled clean-up of idle session files, as Debian's PHP packages do
# it: a systemd timer that the maintainer scripts enable and start, and a
# cron line that does the same where systemd does not run.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vxml-sessionclean.service
              ${CMAKE_CURRENT_LIST_DIR}/vxml-sessionclean.timer
        DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vxml.cron DESTINATION /etc/cron.d
        RENAME vxml)
set(vxml_conffiles ${PROJECT_BINARY_DIR}/packaging/conffiles)
file(WRITE ${vxml_conffiles} "/etc/cron.d/vxml\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm
    ${CMAKE_CURRENT_LIST_DIR}/postrm ${vxml_conffiles})

include(CPack)
