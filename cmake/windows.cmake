# The Windows x64 target: one self-contained console executable that needs no DLL beyond
# those every Windows 10 system has.

target_compile_definitions(vft_core PUBLIC
  UNICODE _UNICODE          # every Win32 call takes wide (UTF-16) text
  WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000) # Windows 10

# The GCC runtime, the C++ library and winpthreads are linked in, so the executable runs
# without MinGW DLLs beside it.
target_link_options(vft_core PUBLIC -static -static-libgcc -static-libstdc++)
# ole32 and windowscodecs: the Windows Imaging Component is the image codec on this target;
# user32: the clipboard.
target_link_libraries(vft_core PUBLIC bcrypt crypt32 shell32 ole32 windowscodecs uuid user32)

# The black-box suite under Wine drives these portable helpers from tests/tools as Windows
# programs too (a second process holding a store lock, prepared protected stores), beside
# helpers only Windows has (tests/tools/windows). Built on
# request only: cmake --build --preset windows --target vft_test_tools
if(CMAKE_CROSSCOMPILING)
  add_custom_target(vft_test_tools)
  foreach(name hold_lock sealed_store slow_renderer store_churn clip_tool)
    add_executable(${name} EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/tests/tools/${name}.cpp)
    target_link_libraries(${name} PRIVATE vft_core)
    add_dependencies(vft_test_tools ${name})
  endforeach()
  # Windows-only helpers (tests/tools/windows): another program holding a file open.
  foreach(name hold_file)
    add_executable(${name} EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/tests/tools/windows/${name}.cpp)
    target_link_libraries(${name} PRIVATE vft_core)
    add_dependencies(vft_test_tools ${name})
  endforeach()
endif()

# Unit tests of the Win32 layer itself (tests/unit/windows), run under Wine by
# scripts/test-windows.sh. GoogleTest is built from the sources Debian's googletest package
# installs, with the cross compiler.
set(VFT_GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest sources")
if(CMAKE_CROSSCOMPILING AND EXISTS ${VFT_GTEST_SOURCE}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VFT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(target gtest gtest_main)
    target_compile_options(${target} PRIVATE -w) # not our code
  endforeach()
  add_executable(windows_unit_tests EXCLUDE_FROM_ALL
    ${CMAKE_SOURCE_DIR}/tests/unit/windows/image_wic_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/unit/windows/platform_windows_test.cpp)
  target_link_libraries(windows_unit_tests PRIVATE vft_core gtest gtest_main)
  add_dependencies(vft_test_tools windows_unit_tests)
endif()
