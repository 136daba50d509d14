# Checks that a program built on the client library alone loads none of the daemon's media
# libraries. Run by ctest as: cmake -DPROGRAM=<path> -P links_no_ffmpeg.cmake
execute_process(COMMAND ldd "${PROGRAM}" OUTPUT_VARIABLE libraries RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ldd ${PROGRAM} failed (${status})")
endif()
foreach(library libavcodec libavutil libswscale libturbojpeg libyuv)
  string(FIND "${libraries}" "${library}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${PROGRAM} loads ${library}:\n${libraries}")
  endif()
endforeach()
message(STATUS "${PROGRAM} loads no media library")
