# Brings the Windows build BUILD_DIR up to date for the MCP bundles: configures it with the
# windows preset when it is not configured yet, then builds the program.
# Inputs: SOURCE_DIR, BUILD_DIR.
if(NOT EXISTS "${BUILD_DIR}/CMakeCache.txt")
  execute_process(COMMAND ${CMAKE_COMMAND} --preset windows -B "${BUILD_DIR}"
                  WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not configure the Windows build in ${BUILD_DIR} "
                        "(scripts/install-deps.sh installs the mingw-w64 compiler)")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${BUILD_DIR}" --target veymora-free-tools
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not build the Windows program in ${BUILD_DIR}")
endif()
