# Fills the platform texts into the catalogue and writes it as a C++ raw string literal.
# Inputs: CATALOG, TEXTS (flat JSON object KEY -> text), OUTPUT.
include(${CMAKE_CURRENT_LIST_DIR}/catalog_texts.cmake)
vft_fill_catalog_texts(catalog "${CATALOG}" "${TEXTS}")
file(WRITE "${OUTPUT}.new" "// Generated from catalog/catalog.json; do not edit.\n#include \"server/catalog.hpp\"\n\nnamespace vft::server {\n\nstd::string_view catalog_text() {\n  static constexpr char kText[] = R\"VFTCATALOG(${catalog})VFTCATALOG\";\n  return {kText, sizeof(kText) - 1};\n}\n\n} // namespace vft::server\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
