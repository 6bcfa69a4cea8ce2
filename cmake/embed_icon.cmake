# Writes the program's icon (a PNG) as a C++ byte array, returned by vft::server::icon_png().
# Inputs: ICON (the PNG file), OUTPUT.
file(READ "${ICON}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.new" "// Generated from doc/icon.png; do not edit.\n#include \"server/catalog.hpp\"\n\nnamespace vft::server {\n\nstd::string_view icon_png() {\n  static constexpr unsigned char kIcon[] = {\n${bytes}};\n  return {reinterpret_cast<const char *>(kIcon), sizeof(kIcon)};\n}\n\n} // namespace vft::server\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
