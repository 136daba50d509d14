# The Debian package: `cpack -G DEB` in the build folder gives gridwright_VERSION_ARCH.deb with
# both programs, the client library, its headers and CMake package, and the manual pages. Its
# Depends come from the programs' shared libraries (dpkg-shlibdeps), so it installs with
# `apt-get install ./gridwright_*.deb` on the Debian it was built on.
set(CPACK_PACKAGE_NAME gridwright)
set(CPACK_PACKAGE_VENDOR "gridwright")
set(CPACK_PACKAGE_CONTACT "gridwright developers <gridwright@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "JPEG thumbnail grids from H.264 and H.265 video, as a daemon and a sprite-sheet tool")
set(CPACK_PACKAGE_DESCRIPTION
  "gridwright is a daemon that a recorder or media server starts as a child process: it turns\n\
compressed video access units into JPEG thumbnail grids over a binary frame protocol on its\n\
standard input and output. gridwright-sprites turns a video file into scrub-preview sprite\n\
sheets and a WebVTT thumbnails track with it. The package also holds the C++ client library\n\
(CMake package mosaickit, target mosaickit::client) for parent programs.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Parents that build against the client library need a compiler, not this package's help.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, g++")
include(CPack)
