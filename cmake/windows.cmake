# The Windows x64 target: one self-contained console executable that needs no DLL beyond
# those every Windows 10 system has.

target_compile_definitions(vft_core PUBLIC
  UNICODE _UNICODE          # every Win32 call takes wide (UTF-16) text
  WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000) # Windows 10

# The GCC runtime, the C++ library and winpthreads are linked in, so the executable runs
# without MinGW DLLs beside it.
target_link_options(vft_core PUBLIC -static -static-libgcc -static-libstdc++)
target_link_libraries(vft_core PUBLIC bcrypt crypt32 shell32)

# A program the black-box tests under Wine start as a second process that holds a store lock.
if(CMAKE_CROSSCOMPILING)
  add_executable(hold_lock EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/tests/tools/hold_lock.cpp)
  target_link_libraries(hold_lock PRIVATE vft_core)
endif()
