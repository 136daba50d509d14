# Installs the build into a fresh prefix, checks the installed tree, then builds and runs the
# parent project of examples/parent against it: it must run a job through the installed daemon
# and link nothing of FFmpeg.
#
#   cmake -DBUILD=... -DSOURCE=... -DWORK=... -DCLIP=... -DCMAKE_INSTALL_BINDIR=...
#     -DCMAKE_INSTALL_LIBDIR=... -DCMAKE_INSTALL_INCLUDEDIR=... -DCMAKE_INSTALL_MANDIR=...
#     [-DPARENT_FLAGS=<the build's sanitizer flags>] -P install_parent.cmake

include(${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake)

file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})

foreach(path
    ${CMAKE_INSTALL_BINDIR}/gridwright
    ${CMAKE_INSTALL_BINDIR}/gridwright-sprites
    ${CMAKE_INSTALL_LIBDIR}/libmosaickit_client.a
    ${CMAKE_INSTALL_INCLUDEDIR}/mosaickit/protocol.h
    ${CMAKE_INSTALL_INCLUDEDIR}/mosaickit/frame_io.h
    ${CMAKE_INSTALL_INCLUDEDIR}/mosaickit/annexb.h
    ${CMAKE_INSTALL_INCLUDEDIR}/mosaickit/client.h
    ${CMAKE_INSTALL_LIBDIR}/cmake/mosaickit/mosaickitConfig.cmake
    ${CMAKE_INSTALL_LIBDIR}/cmake/mosaickit/mosaickitConfigVersion.cmake
    ${CMAKE_INSTALL_LIBDIR}/cmake/mosaickit/mosaickitTargets.cmake
    ${CMAKE_INSTALL_MANDIR}/man1/gridwright.1
    ${CMAKE_INSTALL_MANDIR}/man1/gridwright-sprites.1)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
# Nothing of the daemon's own library or of the tests goes with it: those 12 files and the
# export's file for the build's configuration.
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
list(LENGTH installed count)
if(NOT count EQUAL 13)
  message(FATAL_ERROR "installed ${count} files, not 13:\n${installed}")
endif()

run(${prefix}/${CMAKE_INSTALL_BINDIR}/gridwright --version)
if(NOT out STREQUAL "gridwright 1.0\n")
  message(FATAL_ERROR "installed daemon says: ${out}")
endif()

# The parent project, configured as an integrator's would be: only the install prefix known.
run(${CMAKE_COMMAND} -S ${SOURCE}/examples/parent -B ${WORK}/parent -G Ninja
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=${PARENT_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${PARENT_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK}/parent)
run(${WORK}/parent/parent ${CLIP} ${WORK}/row.jpg)
if(NOT out MATCHES "daemon: gridwright 1.0, 4 jobs at once\nresult: 1 JPEG of [0-9]+ bytes")
  message(FATAL_ERROR "the parent printed:\n${out}")
endif()
run(ldd ${WORK}/parent/parent)
if(out MATCHES "libav|libswscale|libturbojpeg|libyuv")
  message(FATAL_ERROR "the parent links a media library:\n${out}")
endif()
message(STATUS "installed ${count} files; the parent ran a job and links no media library")
