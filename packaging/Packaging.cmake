# Installation and the Debian package: `cpack -G DEB` in the build folder
# makes traytape_<version>_<arch>.deb with both programs, the desktop entry,
# AppStream data, the icons and the documents.
include(GNUInstallDirs)

# AppStream wants screenshots on the web; until the project has a public
# place for them the metadata carries none.
set(TRAYTAPE_SCREENSHOT_URL "" CACHE STRING "Web address of a screenshot of the tray menu for the AppStream data")
if(TRAYTAPE_SCREENSHOT_URL)
  set(TRAYTAPE_SCREENSHOTS "  <screenshots>
    <screenshot type=\"default\">
      <caption>The record menu in the tray, with the live level meter beside it</caption>
      <image>${TRAYTAPE_SCREENSHOT_URL}</image>
    </screenshot>
  </screenshots>
")
else()
  set(TRAYTAPE_SCREENSHOTS "")
endif()
set(PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_LIST_DIR}/org.traytape.TrayTape.metainfo.xml
               ${PACKAGING_OUT}/org.traytape.TrayTape.metainfo.xml @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog ${PACKAGING_OUT}/changelog @ONLY)

# Debian keeps changelogs compressed, with no time stamp in the archive.
add_custom_command(
  OUTPUT ${PACKAGING_OUT}/changelog.gz
  COMMAND gzip -9 -n -c ${PACKAGING_OUT}/changelog > ${PACKAGING_OUT}/changelog.gz
  DEPENDS ${PACKAGING_OUT}/changelog
  VERBATIM)
# The 48-pixel icon for desktops that do not draw SVG icons.
add_custom_command(
  OUTPUT ${PACKAGING_OUT}/org.traytape.TrayTape.png
  COMMAND traytape-render svg ${PROJECT_SOURCE_DIR}/resources/images/TrayTape.svg
          ${PACKAGING_OUT}/org.traytape.TrayTape.png 0.375
  DEPENDS traytape-render ${PROJECT_SOURCE_DIR}/resources/images/TrayTape.svg
  VERBATIM)
add_custom_target(traytape_package_files ALL
  DEPENDS ${PACKAGING_OUT}/changelog.gz ${PACKAGING_OUT}/org.traytape.TrayTape.png)

install(FILES ${PACKAGING_OUT}/org.traytape.TrayTape.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PACKAGING_OUT}/org.traytape.TrayTape.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/copyright ${PACKAGING_OUT}/changelog.gz
              "${CMAKE_BINARY_DIR}/resources/documents/Record Help.pdf"
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME traytape)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(TRAYTAPE_MAINTAINER "TrayTape developers <maintainers@traytape.org>" CACHE STRING "The package's maintainer")
set(CPACK_PACKAGE_CONTACT "${TRAYTAPE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tray audio recorder for microphones and the computer's own sound")
# The body under the summary; CPack indents each line.
set(CPACK_PACKAGE_DESCRIPTION "TrayTape lives in the system tray and records a microphone, a line input or
the sound the computer plays into WAV or M4A files, with a live level meter.
A library keeps the recordings for playing, trimming with fades and export.
traytape-cli offers the same engine to scripts and headless machines.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's own texts (the file dialogs' buttons) in the user's language; TrayTape's are built in.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_GENERATOR DEB)
include(CPack)
