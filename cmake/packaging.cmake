# The Debian package: `cpack -G DEB` in the build folder. It installs under /usr, where the
# program finds its tool in ../libexec/morvelle and its resource file in ../share/morvelle.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvelle)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Morvelle developers")
set(CPACK_PACKAGE_CONTACT "Morvelle developers <${MORVELLE_SUPPORT_ADDRESS}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch image-format converter")
# Debian wants the long description in lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "Drag image files onto the Drop Screen, press one of nine format buttons,
and every listed file is converted, one after another, into the folder it
came from: JPEG, GIF, TIFF, TGA, PNG, PSD, PDF, JPEG 2000 or BMP. Nothing is
overwritten; a file that cannot be converted is named with the reason and
stays listed.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")

# Most of Depends comes from dpkg-shlibdeps, from the libraries the two programs link;
# libvips42 among them also brings libvips's optional readers (ImageMagick, PDF, HEIF,
# JPEG XL, OpenSlide), which the tool opens only when a file needs one. dpkg-shlibdeps cannot
# see what Qt loads at run time, so that is named here: Qt's SVG icon engine, which draws
# every picture, from libqt6svg6 (the X11 platform plugin comes with libqt6gui6); and the
# windows' texts are set in Liberation Sans, whose metrics their layouts were drawn for. Nothing
# that dpkg-shlibdeps finds belongs here, or Depends would name it twice.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Stripped as dh_strip strips: debugging symbols and the sections nothing reads at run time
# (.comment, .note) go; the build id stays.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/strip-package.cmake)

# lintian on the package reports no error and no warning. What it may still report, and why:
# - spare-manual-page (informational): sips(1) documents the conversion tool, which lives in
#   /usr/libexec/morvelle rather than on PATH because only the program runs it; the page is
#   for whoever reads the program's logs or runs the tool by hand.

include(CPack)
