# `cpack -G DEB` in a build folder (scripts/package) makes the Debian package of what
# `cmake --install` installs, under /usr. Its library dependencies are computed by dpkg-shlibdeps
# (which needs the file command); what the program loads without linking to it is named here.
set(QUILLMOOR_MAINTAINER "Quillmoor developers <quillmoor@users.noreply.github.com>"
    CACHE STRING "The package's maintainer, as \"Name <address>\"")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmoor)
set(CPACK_PACKAGE_VENDOR "Quillmoor developers")
set(CPACK_PACKAGE_CONTACT "${QUILLMOOR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch downloader for URL lists and the links of web pages")
set(CPACK_PACKAGE_DESCRIPTION
  "Quillmoor downloads a list of links into one folder with up to ten parallel
slots, naming each file after its link name or its address, with a rule for
files that already exist. The list comes from a text file of name->address
lines, from addresses added by hand, or from every link of a page shown in
the built-in browser, where the user may have logged in. Files are fetched
over HTTP or HTTPS with libcurl, or loaded as rendered pages.
The window is in Chinese; a headless batch mode runs from scripts.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://quillmoor.github.io/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, not linked: Qt's SQLite driver, for the kept URL list and --session.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite")
if(QUILLMOOR_GUI)
  # Loaded at run time, not linked: Qt's display plugins. (The browser engine's helper process
  # comes with the engine's own dependencies.)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, qt6-qpa-plugins")
  # The window's texts are Chinese.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
endif()

include(CPack)
