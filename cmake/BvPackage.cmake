# The Debian package (./scripts/package): what `cmake --install` puts under
# /usr, with the dependencies dpkg-shlibdeps finds for the shared libraries
# the executable links.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brevanto)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Backs up your files as they change")
set(CPACK_PACKAGE_DESCRIPTION
  "Brevanto Essentials keeps copies of documents, pictures, music, videos and
chosen folders on a local disk, a USB disk, a network share or an FTP server,
copies each file soon after it changes or on a schedule, keeps earlier
versions, and restores files or earlier versions. It lives in the
notification area and starts when the user logs in.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Brevanto developers <packages@brevanto.invalid>")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked, but run: the desktop opener for the help and the log folder.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
