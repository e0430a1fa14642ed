# Installing the programs as a desktop expects them, and a Debian package of them.

install(TARGETS otpwriter otpwriter-cli otp-target-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(OTP_APP_ID org.otpwriter.OtpWriter)
set(OTP_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(OTP_STAGE ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${OTP_STAGE}/icons ${OTP_STAGE}/man)

install(FILES ${OTP_PACKAGING}/${OTP_APP_ID}.desktop ${OTP_PACKAGING}/${OTP_APP_ID}.Station.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${OTP_PACKAGING}/${OTP_APP_ID}.metainfo.xml.in
               ${OTP_STAGE}/${OTP_APP_ID}.metainfo.xml @ONLY)
install(FILES ${OTP_STAGE}/${OTP_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${OTP_PACKAGING}/otpwriter-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME otpwriter-cli)

# The icon, painted by the window's own code at each size of the icon theme.
set(OTP_ICON_SIZES 16 24 32 48 64 128 256)
add_executable(render-icon tools/RenderIcon.cpp)
target_link_libraries(render-icon PRIVATE otp_ui)
set(OTP_ICONS)
foreach(size ${OTP_ICON_SIZES})
  list(APPEND OTP_ICONS ${OTP_STAGE}/icons/${size}.png)
  install(FILES ${OTP_STAGE}/icons/${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${OTP_APP_ID}.png)
endforeach()
add_custom_command(OUTPUT ${OTP_ICONS}
                   COMMAND render-icon ${OTP_STAGE}/icons ${OTP_ICON_SIZES}
                   DEPENDS render-icon
                   COMMENT "Painting the icon")

# Manual pages and the changelog, compressed without time stamps as Debian wants them.
set(OTP_COMPRESSED)
foreach(page otpwriter otpwriter-cli otp-target-sim)
  set(VERSION ${PROJECT_VERSION})
  configure_file(${OTP_PACKAGING}/man/${page}.1 ${OTP_STAGE}/man/${page}.1 @ONLY)
  list(APPEND OTP_COMPRESSED ${OTP_STAGE}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${OTP_STAGE}/man/${page}.1.gz
                     COMMAND gzip -9nf -k ${OTP_STAGE}/man/${page}.1
                     DEPENDS ${OTP_STAGE}/man/${page}.1)
  install(FILES ${OTP_STAGE}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(${OTP_PACKAGING}/changelog ${OTP_STAGE}/changelog @ONLY)
add_custom_command(OUTPUT ${OTP_STAGE}/changelog.gz
                   COMMAND gzip -9nf -k ${OTP_STAGE}/changelog
                   DEPENDS ${OTP_STAGE}/changelog)
list(APPEND OTP_COMPRESSED ${OTP_STAGE}/changelog.gz)
add_custom_target(packaging_files ALL DEPENDS ${OTP_ICONS} ${OTP_COMPRESSED})
install(FILES ${OTP_STAGE}/changelog.gz ${OTP_PACKAGING}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package: its dependencies come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME otpwriter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The otpwriter developers <otpwriter@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write program images into the OTP memory of a microcontroller")
set(CPACK_PACKAGE_DESCRIPTION
    "OTP Writer writes a program image from an S-record or Intel HEX file into the
one-time-programmable memory of a KT47C630A or KT47C150 on a user board over
an RS-232 line, checks the part before the irreversible write, and verifies
every block.

The package holds the window (otpwriter) with a production station window
for operators at a fixture; the command line (otpwriter-cli), which also
programs several boards at once, runs a production station and writes the
batch report as PDF, PNG or HTML; and a simulated board (otp-target-sim) to
try them without hardware.")
# Qt loads its database drivers as plug-ins, which dpkg-shlibdeps cannot see: the
# production store's default (SQLite) is recommended, its server (PostgreSQL) suggested.
# The batch report embeds its fonts: DejaVu for Latin text, IPA Gothic for Japanese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-sqlite, fonts-dejavu-core, fonts-ipafont-gothic")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS libqt6sql6-psql)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
