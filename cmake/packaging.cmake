# The Debian package: `cpack -G DEB` in the build folder. It installs under /usr, where the
# program finds its tool in ../libexec/morvelle and its resource file in ../share/morvelle.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvelle)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Morvelle developers")
set(CPACK_PACKAGE_CONTACT "Morvelle developers <support@morvelle.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Batch image-format converter")
set(CPACK_PACKAGE_DESCRIPTION
    "Drag image files onto the Drop Screen, press one of nine format buttons, and every listed\
 file is converted into the folder it came from: JPEG, GIF, TIFF, TGA, PNG, PSD, PDF,\
 JPEG 2000 or BMP.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://morvelle.example/")
# The libraries the program and the tool link come from dpkg-shlibdeps. What is loaded at
# run time it cannot see, so it is named here: Qt's SVG icon engine, which draws every
# picture, and libvips's ImageMagick module, which saves BMP, TGA and PSD (libvips42 ships
# the module and depends on ImageMagick's library itself). The windows' texts are set in
# Liberation Sans, whose metrics their layouts were drawn for.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, libvips42, fonts-liberation2")

include(CPack)
