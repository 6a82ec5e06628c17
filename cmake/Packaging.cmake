# The Debian package (cpack -G DEB in the build folder). The install rules are for the package
# only: they lay out the paths relative to "/", and leave the build's own installation folder
# <build>/Belcara/ as it is.
#
#   /opt/belcara/Belcara                     the program (a real file: it looks for Data/ and pic/
#                                            beside itself)
#   /opt/belcara/Data -> /var/lib/belcara/Data   the database, made by postinst when missing
#   /opt/belcara/pic  -> /var/lib/belcara/pic    the picture store
#   /usr/lib/belcara/belcara-mkdb            makes the supplied database
#   /usr/share/belcara/database.conf         the connection file as installed (commented out);
#                                            postinst copies it to /etc/belcara/ when missing
#   /usr/bin/belcara-admin                   sets up and upgrades a PostgreSQL server (--help)
#   /usr/share/applications/belcara.desktop, /usr/share/icons/hicolor/NxN/apps/belcara.png

set(BELCARA_PACKAGE_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(BELCARA_STAGE_DIR ${CMAKE_BINARY_DIR}/package-files)

# The icon theme's PNGs, drawn from the program's icon.
add_custom_command(OUTPUT ${BELCARA_STAGE_DIR}/icons/256x256/apps/belcara.png
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:belcara-icons> ${BELCARA_STAGE_DIR}/icons
  DEPENDS belcara-icons
  COMMENT "Drawing the desktop icons"
  VERBATIM)
add_custom_target(belcara-desktop-icons ALL DEPENDS ${BELCARA_STAGE_DIR}/icons/256x256/apps/belcara.png)

# The links into /var/lib/belcara, made here and installed as links.
foreach(name Data pic)
  file(MAKE_DIRECTORY ${BELCARA_STAGE_DIR}/links)
  file(CREATE_LINK /var/lib/belcara/${name} ${BELCARA_STAGE_DIR}/links/${name} SYMBOLIC)
endforeach()

install(TARGETS Belcara RUNTIME DESTINATION opt/belcara)
install(FILES ${BELCARA_STAGE_DIR}/links/Data ${BELCARA_STAGE_DIR}/links/pic DESTINATION opt/belcara)
install(TARGETS belcara-mkdb RUNTIME DESTINATION usr/lib/belcara)
install(TARGETS belcara-admin RUNTIME DESTINATION usr/bin)
install(FILES ${BELCARA_PACKAGE_DIR}/belcara.desktop DESTINATION usr/share/applications)
install(FILES ${BELCARA_PACKAGE_DIR}/database.conf DESTINATION usr/share/belcara)
# The nightly backup, shipped disabled: systemctl enable --now belcara-backup.timer turns it on.
install(FILES ${BELCARA_PACKAGE_DIR}/belcara-backup.service ${BELCARA_PACKAGE_DIR}/belcara-backup.timer
  DESTINATION lib/systemd/system)
install(DIRECTORY ${BELCARA_STAGE_DIR}/icons/ DESTINATION usr/share/icons/hicolor)

# cpack runs the install rules without building everything first: build the package's targets
# (Belcara, belcara-mkdb, belcara-admin, belcara-desktop-icons) before calling it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME belcara)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_PACKAGE_CONTACT "Belcara maintainers <info@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "before/after case browser for beauty clinics")
set(CPACK_PACKAGE_DESCRIPTION
  "Orvane美容效果演示 keeps a beauty clinic's customers, their surgery cases and up to three\nphotos taken before and three after each surgery, and shows a case's before and after\nphotos side by side. The database and photos live in /var/lib/belcara and are kept when\nthe package is removed or purged.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries dpkg-shlibdeps finds are added to these: the plugins (SQL drivers), Qt's
# translations, fonts and the face landmark model (libdlib-data) are loaded at run time and found
# by nobody else. Qt Multimedia's camera backends are plugins of libqt6multimedia6 and libgphoto2's
# camera drivers are modules of libgphoto2-6, both loaded at run time.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libqt6core6, libqt6gui6, libqt6widgets6, libqt6sql6, libqt6sql6-sqlite, libqt6sql6-psql, libqt6concurrent6, qt6-translations-l10n, libjpeg62-turbo, libopencv-core406, libopencv-imgproc406, libopencv-features2d406, libopencv-calib3d406, libdlib19.1, libdlib-data, libqt6printsupport6, libqt6multimedia6, libgphoto2-6, fonts-arphic-uming, fonts-arphic-ukai, acl, passwd, restic")
# pg_dump and pg_restore back up and restore a server's records.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "postgresql-client")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${BELCARA_PACKAGE_DIR}/postinst ${BELCARA_PACKAGE_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
