# Cross-compiles the Windows x64 executable with mingw-w64 (the posix thread model, which
# the C++ standard library's threads and once_flag need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VFT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VFT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VFT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VFT_MINGW_TRIPLET}-windres)

# Libraries and headers come from the cross sysroot only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${VFT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# nlohmann/json is header-only, so the build host's package serves the cross build. Its
# own package file would put all of /usr/include on the include path, where the host's C
# headers would shadow the cross compiler's; expose only the nlohmann folder instead.
set(VFT_HOST_JSON_INCLUDE /usr/include CACHE PATH "Folder holding the host's nlohmann/ headers")
set(VFT_HOST_JSON_PACKAGE /usr/share/cmake/nlohmann_json CACHE PATH
    "Folder holding the host's nlohmann_jsonConfigVersion.cmake")
set(_vft_json_dir ${CMAKE_BINARY_DIR}/host-json)
if(EXISTS ${VFT_HOST_JSON_INCLUDE}/nlohmann/json.hpp AND NOT EXISTS ${_vft_json_dir}/include/nlohmann)
  file(MAKE_DIRECTORY ${_vft_json_dir}/include)
  file(CREATE_LINK ${VFT_HOST_JSON_INCLUDE}/nlohmann ${_vft_json_dir}/include/nlohmann SYMBOLIC)
  file(WRITE ${_vft_json_dir}/nlohmann_jsonConfigVersion.cmake
       "include(\"${VFT_HOST_JSON_PACKAGE}/nlohmann_jsonConfigVersion.cmake\")\n")
  file(WRITE ${_vft_json_dir}/nlohmann_jsonConfig.cmake
       "if(NOT TARGET nlohmann_json::nlohmann_json)\n"
       "  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)\n"
       "  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES\n"
       "    INTERFACE_INCLUDE_DIRECTORIES \"${_vft_json_dir}/include\")\n"
       "endif()\n")
endif()
set(nlohmann_json_DIR ${_vft_json_dir} CACHE PATH "nlohmann_json package for the cross build")
