# Fills the platform texts into a JSON file of catalog/ and writes it as a C++ raw string
# literal, returned by one function of vft::server.
# Inputs: CATALOG (the JSON file), TEXTS (flat JSON object KEY -> text), OUTPUT, and FUNCTION
# (the function's name; catalog_text when not given).
include(${CMAKE_CURRENT_LIST_DIR}/catalog_texts.cmake)
if(NOT FUNCTION)
  set(FUNCTION catalog_text)
endif()
get_filename_component(source_name "${CATALOG}" NAME)
vft_fill_catalog_texts(catalog "${CATALOG}" "${TEXTS}")
file(WRITE "${OUTPUT}.new" "// Generated from ${source_name}; do not edit.\n#include \"server/catalog.hpp\"\n\nnamespace vft::server {\n\nstd::string_view ${FUNCTION}() {\n  static constexpr char kText[] = R\"VFTCATALOG(${catalog})VFTCATALOG\";\n  return {kText, sizeof(kText) - 1};\n}\n\n} // namespace vft::server\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
