# Builds the Debian package from BUILD_DIR into PACKAGE_DIR and unpacks it
# into UNPACKED_DIR, both made afresh.
foreach(variable CPACK_COMMAND BUILD_DIR PACKAGE_DIR UNPACKED_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${PACKAGE_DIR} ${UNPACKED_DIR})
file(MAKE_DIRECTORY ${PACKAGE_DIR} ${UNPACKED_DIR})

execute_process(
  COMMAND ${CPACK_COMMAND} -G DEB -B ${PACKAGE_DIR} --config ${BUILD_DIR}/CPackConfig.cmake
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed (${result}):\n${output}")
endif()

file(GLOB packages ${PACKAGE_DIR}/*.deb)
list(LENGTH packages count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${PACKAGE_DIR}, found ${count}:\n${output}")
endif()

execute_process(
  COMMAND dpkg-deb -x ${packages} ${UNPACKED_DIR}
  RESULT_VARIABLE result
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -x failed (${result}): ${output}")
endif()
message(STATUS "built and unpacked ${packages}")
