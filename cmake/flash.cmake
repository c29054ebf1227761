# Flash content: the emulator's files in a folder beside vornmark.exe (what an
# installer ships), a CJK font for the movies' device text, and the local
# portal's Flash game built from its source.
#
# tools/setup.sh unpacks the pinned emulator package under the build folder. The
# folder gets whatever the package holds (scripts, engine builds, licences) under
# the package's own file names: nothing here names its content-hashed files.

set(VORNMARK_RUFFLE_PACKAGE "${CMAKE_BINARY_DIR}/deps/ruffle" CACHE PATH
    "Unpacked @ruffle-rs/ruffle package (tools/setup.sh puts it here)")
set(VORNMARK_FLASH_FONT "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc" CACHE FILEPATH
    "CJK font (with Latin glyphs) for device text in Flash movies")
find_program(VORNMARK_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VORNMARK_PYTHON python3)
find_program(VORNMARK_HAXE haxe)

set(FLASH_DIR ${CMAKE_BINARY_DIR}/ruffle)
file(GLOB RUFFLE_FILES CONFIGURE_DEPENDS
     ${VORNMARK_RUFFLE_PACKAGE}/*.js ${VORNMARK_RUFFLE_PACKAGE}/*.wasm ${VORNMARK_RUFFLE_PACKAGE}/LICENSE*)
if(RUFFLE_FILES AND VORNMARK_PYTHON)
  set(flash_outputs)
  foreach(f ${RUFFLE_FILES})
    get_filename_component(name ${f} NAME)
    add_custom_command(OUTPUT ${FLASH_DIR}/${name}
                       COMMAND ${CMAKE_COMMAND} -E copy_if_different ${f} ${FLASH_DIR}/${name}
                       DEPENDS ${f} VERBATIM)
    list(APPEND flash_outputs ${FLASH_DIR}/${name})
  endforeach()
  if(EXISTS ${VORNMARK_FLASH_FONT})
    add_custom_command(OUTPUT ${FLASH_DIR}/fonts.json
                       COMMAND ${VORNMARK_PYTHON} ${CMAKE_SOURCE_DIR}/tools/flash_fonts.py
                               ${VORNMARK_FLASH_FONT} ${FLASH_DIR}
                       DEPENDS ${VORNMARK_FLASH_FONT} ${CMAKE_SOURCE_DIR}/tools/flash_fonts.py VERBATIM)
    list(APPEND flash_outputs ${FLASH_DIR}/fonts.json)
  else()
    message(WARNING "No CJK font at ${VORNMARK_FLASH_FONT}: Chinese device text in movies will not draw")
  endif()
  add_custom_target(flash_emulator ALL DEPENDS ${flash_outputs})
else()
  message(WARNING "Flash emulator package not found in ${VORNMARK_RUFFLE_PACKAGE}; run tools/setup.sh. "
                  "The program is built without it and plays no Flash content.")
endif()

# The local portal's game: ActionScript 3 compiled by haxe, with sounds made at build time.
set(GAME_DIR ${CMAKE_BINARY_DIR}/portal)
file(GLOB GAME_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/portal/flash/*.hx)
if(VORNMARK_HAXE AND VORNMARK_PYTHON)
  file(MAKE_DIRECTORY ${GAME_DIR}/sounds)
  # 30 frames a second as Flash-era games ran; the page's "fps" parameter can ask for more.
  add_custom_command(
    OUTPUT ${GAME_DIR}/game.swf
    COMMAND ${VORNMARK_PYTHON} ${CMAKE_SOURCE_DIR}/portal/flash/make_sounds.py ${GAME_DIR}/sounds
    # Sound files are found from the working folder.
    COMMAND ${VORNMARK_HAXE} -cp ${CMAKE_SOURCE_DIR}/portal/flash -main Game -swf ${GAME_DIR}/game.swf
            -swf-version 11 -swf-header 960:600:30:05040C
    WORKING_DIRECTORY ${GAME_DIR}/sounds
    DEPENDS ${GAME_SOURCES} ${CMAKE_SOURCE_DIR}/portal/flash/make_sounds.py
    VERBATIM)
  add_custom_target(portal_game ALL DEPENDS ${GAME_DIR}/game.swf)
else()
  message(WARNING "haxe not found; run tools/setup.sh. The local portal's game page will have no movie.")
endif()
