# Install rules and packages.
#   Linux:   cmake --install build/release        (prefix /usr/local unless told otherwise)
#            cpack --preset deb                   -> build/release/veymora-free-tools_VERSION_ARCH.deb
#   Windows: cpack --preset windows-zip           -> build/windows/veymora-free-tools-VERSION-windows-x64.zip

set(VFT_PACKAGE_NAME veymora-free-tools)

if(WIN32)
  # The zip is unpacked into a folder of the user's choice: everything sits at its top.
  install(TARGETS veymora-free-tools RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
                ${CMAKE_SOURCE_DIR}/doc/mcp-servers.example.json
          DESTINATION .)
else()
  # The project's own name (with hyphens) rather than the CMake project name.
  set(CMAKE_INSTALL_DOCDIR share/doc/${VFT_PACKAGE_NAME} CACHE PATH "Documentation folder")
  include(GNUInstallDirs)

  # Manual pages are installed compressed, as man and Debian expect; -n keeps the
  # compressed file the same from build to build.
  set(VFT_MAN_PAGE ${CMAKE_SOURCE_DIR}/doc/${VFT_PACKAGE_NAME}.1)
  set(VFT_MAN_PAGE_GZ ${CMAKE_BINARY_DIR}/${VFT_PACKAGE_NAME}.1.gz)
  add_custom_command(
    OUTPUT ${VFT_MAN_PAGE_GZ}
    COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${VFT_MAN_PAGE} ${VFT_MAN_PAGE_GZ}
    DEPENDS ${VFT_MAN_PAGE}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(vft_man_page ALL DEPENDS ${VFT_MAN_PAGE_GZ})
  # Building only the program (as the README's first command does) still leaves everything
  # the install rules need.
  add_dependencies(veymora-free-tools vft_man_page)

  install(TARGETS veymora-free-tools RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${VFT_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME ${VFT_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Veymora free tools developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local MCP tool server with seven personal apps")
# The long description, in lines short enough for package tools to show unwrapped.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "One console program that an AI assistant host starts as a Model Context\n"
  "Protocol server on standard input and output, one app per process: studio\n"
  "(an inventory of the user's own free tools), clipboard, bookmarks,\n"
  "inventory (things the user owns), wallet (encrypted document copies),\n"
  "media (video edits rendered with FFmpeg) and bills. It can also run one\n"
  "tool once from the command line.\n"
  "Each app keeps a private JSON record store in the user's data folder,\n"
  "written atomically under a lock; the wallet, clipboard and bills stores are\n"
  "encrypted with a per-user key. Nothing touches the network.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${VFT_PACKAGE_NAME}-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(VFT_PACKAGE_MAINTAINER "Veymora free tools developers <maintainers@veymora.invalid>"
      CACHE STRING "Maintainer field of the Debian package")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_CONTACT ${VFT_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VFT_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is computed from the binary by dpkg-shlibdeps (package dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Only the media app runs FFmpeg; everything else works without it.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ffmpeg)
endif()

include(CPack)
