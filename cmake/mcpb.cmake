# MCP bundles for desktop hosts: one .mcpb per app, holding this build's Linux program and the
# Windows build's veymora-free-tools.exe (configured with the windows preset and built first
# where needed), both stripped.
#   cmake --build --preset mcpb   -> build/release/veymora-free-tools-APP-VERSION.mcpb
set(VFT_WINDOWS_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/windows CACHE PATH
    "The Windows build whose veymora-free-tools.exe goes into the MCP bundles")
set(VFT_MCPB_WORK ${CMAKE_BINARY_DIR}/mcpb)
add_custom_target(mcpb
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DBUILD_DIR=${VFT_WINDOWS_BUILD_DIR}
          -P ${CMAKE_SOURCE_DIR}/cmake/build_windows.cmake
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VFT_MCPB_WORK}
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${VFT_MCPB_WORK}/linux --strip
  COMMAND ${CMAKE_COMMAND} --install ${VFT_WINDOWS_BUILD_DIR} --prefix ${VFT_MCPB_WORK}/windows
          --strip
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
          -DLINUX_PROGRAM=${VFT_MCPB_WORK}/linux/${CMAKE_INSTALL_BINDIR}/veymora-free-tools
          -DWINDOWS_PROGRAM=${VFT_MCPB_WORK}/windows/veymora-free-tools.exe
          -DWORK=${VFT_MCPB_WORK}/stage -DOUTPUT_DIR=${CMAKE_BINARY_DIR}
          -P ${CMAKE_SOURCE_DIR}/cmake/make_bundles.cmake
  DEPENDS veymora-free-tools
  COMMENT "Making the MCP bundles"
  # The Windows build it may run is long: show its progress as it goes.
  USES_TERMINAL
  VERBATIM)
