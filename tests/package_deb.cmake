# Makes the Debian package from the build and checks its contents and its Depends.
#
#   cmake -DBUILD=... -DWORK=... -P package_deb.cmake

include(${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake)

file(REMOVE_RECURSE ${WORK})
run(cpack -G DEB --config ${BUILD}/CPackConfig.cmake -B ${WORK})
file(GLOB debs ${WORK}/gridwright_*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} packages: ${debs}")
endif()

run(dpkg-deb --contents ${debs})
foreach(path
    ./usr/bin/gridwright
    ./usr/bin/gridwright-sprites
    ./usr/lib/libmosaickit_client.a
    ./usr/include/mosaickit/client.h
    ./usr/include/mosaickit/protocol.h
    ./usr/lib/cmake/mosaickit/mosaickitConfig.cmake
    ./usr/lib/cmake/mosaickit/mosaickitTargets.cmake
    ./usr/share/man/man1/gridwright.1
    ./usr/share/man/man1/gridwright-sprites.1)
  string(FIND "${out}" " ${path}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the package lacks ${path}:\n${out}")
  endif()
endforeach()

# What the programs link, as dpkg-shlibdeps found it: the media libraries and the C++ runtime.
run(dpkg-deb --field ${debs} Package Version Depends)
foreach(dependency libavcodec libavformat libavutil libswscale libturbojpeg libyuv libstdc\\+\\+ libc6)
  if(NOT out MATCHES "Depends:.*${dependency}")
    message(FATAL_ERROR "the package does not depend on ${dependency}:\n${out}")
  endif()
endforeach()
if(NOT out MATCHES "Package: gridwright\nVersion: 1.0")
  message(FATAL_ERROR "the package's name or version is wrong:\n${out}")
endif()
message(STATUS "${debs}\n${out}")
