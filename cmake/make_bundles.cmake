# Makes one MCP bundle (.mcpb: a zip with manifest.json at its top) per app:
#   manifest.json  icon.png  README.md  LICENSE
#   server/veymora-free-tools  server/veymora-free-tools.exe
# Inputs: SOURCE_DIR, VERSION, LINUX_PROGRAM, WINDOWS_PROGRAM (stripped copies), WORK (a
# scratch folder), OUTPUT_DIR. Writes OUTPUT_DIR/veymora-free-tools-APP-VERSION.mcpb.
#
# The manifest lists each app's tools by name and description from the catalogue with the
# Linux texts, which name no platform ("the clipboard", "ffmpeg"); the Windows program says
# "Windows clipboard" and "ffmpeg.exe" in the same places.
include(${CMAKE_CURRENT_LIST_DIR}/catalog_texts.cmake)

foreach(input SOURCE_DIR VERSION LINUX_PROGRAM WINDOWS_PROGRAM WORK OUTPUT_DIR)
  if(NOT DEFINED ${input})
    message(FATAL_ERROR "make_bundles.cmake needs -D${input}=...")
  endif()
endforeach()
foreach(program "${LINUX_PROGRAM}" "${WINDOWS_PROGRAM}")
  if(NOT EXISTS "${program}")
    message(FATAL_ERROR "missing program for the bundles: ${program}")
  endif()
endforeach()

# A JSON string literal of TEXT.
function(vft_json_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

vft_fill_catalog_texts(catalog "${SOURCE_DIR}/catalog/catalog.json"
                       "${SOURCE_DIR}/catalog/texts-linux.json")
file(READ "${SOURCE_DIR}/cmake/bundle-apps.json" apps)
file(READ "${SOURCE_DIR}/cmake/mcpb-manifest.json.in" template)
# One fixed time on every file keeps a bundle's bytes the same from build to build.
set(mtime "2026-01-01 00:00:00")
string(JSON app_count LENGTH "${apps}")
math(EXPR last_app "${app_count} - 1")
foreach(app_index RANGE ${last_app})
  string(JSON APP MEMBER "${apps}" ${app_index})
  string(JSON description GET "${apps}" "${APP}")
  vft_json_string(DESCRIPTION "${description}")
  string(CONFIGURE "${template}" manifest @ONLY)

  # The app's tools, in the catalogue's order.
  string(JSON tool_count LENGTH "${catalog}" "${APP}")
  math(EXPR last_tool "${tool_count} - 1")
  foreach(i RANGE ${last_tool})
    string(JSON name GET "${catalog}" "${APP}" ${i} name)
    string(JSON text GET "${catalog}" "${APP}" ${i} description)
    vft_json_string(name "${name}")
    vft_json_string(text "${text}")
    string(JSON manifest SET "${manifest}" tools ${i} "{\"name\": ${name}, \"description\": ${text}}")
  endforeach()

  if(APP STREQUAL "media")
    string(JSON manifest SET "${manifest}" user_config ffmpeg [=[{
      "type": "file",
      "title": "FFmpeg program",
      "description": "The FFmpeg program to render with (ffmpeg.exe on Windows). Leave empty to use one set with configure_renderer, else one beside the program, else the system's search path.",
      "required": false
    }]=])
    set(ffmpeg_setting "\"\${user_config.ffmpeg}\"")
    string(JSON manifest SET "${manifest}" server mcp_config env VEYMORA_FFMPEG
           "${ffmpeg_setting}")
    string(JSON manifest SET "${manifest}" server mcp_config platform_overrides win32 env
           VEYMORA_FFMPEG "${ffmpeg_setting}")
  endif()

  set(stage "${WORK}/${APP}")
  file(REMOVE_RECURSE "${stage}")
  file(MAKE_DIRECTORY "${stage}/server")
  file(WRITE "${stage}/manifest.json" "${manifest}\n")
  file(COPY "${SOURCE_DIR}/doc/icon.png" "${SOURCE_DIR}/README.md" "${SOURCE_DIR}/LICENSE"
       DESTINATION "${stage}")
  file(COPY "${LINUX_PROGRAM}" "${WINDOWS_PROGRAM}" DESTINATION "${stage}/server"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)

  set(bundle "${OUTPUT_DIR}/veymora-free-tools-${APP}-${VERSION}.mcpb")
  file(REMOVE "${bundle}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E tar cf "${bundle}" --format=zip "--mtime=${mtime}"
            manifest.json icon.png README.md LICENSE
            server/veymora-free-tools server/veymora-free-tools.exe
    WORKING_DIRECTORY "${stage}"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not pack ${bundle}")
  endif()
  message(STATUS "Made ${bundle}")
endforeach()
