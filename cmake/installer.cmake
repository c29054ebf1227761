# The installer, vornmark-setup-<version>.exe in the build folder, made with NSIS
# (tools/setup.sh installs it) from what the build put beside vornmark.exe.
#
# The channel's default ids go into Config.ini when the installer's file name
# carries no "_a<agent>_s<site>" tag.
set(VORNMARK_DEFAULT_AGENT_ID 0 CACHE STRING "Agent id ([Common] UID) an untagged installer writes")
set(VORNMARK_DEFAULT_SITE_ID  0 CACHE STRING "Site id ([Common] ADV) an untagged installer writes")
find_program(VORNMARK_MAKENSIS makensis)

set(VORNMARK_SETUP ${CMAKE_BINARY_DIR}/vornmark-setup-${PROJECT_VERSION}.exe)
# The settings as a file the installer depends on: a changed id makes it anew
# (the file is touched only when its content changes).
file(WRITE ${CMAKE_BINARY_DIR}/installer/settings.txt.new
     "${PROJECT_VERSION} ${VORNMARK_DEFAULT_AGENT_ID} ${VORNMARK_DEFAULT_SITE_ID}\n")
configure_file(${CMAKE_BINARY_DIR}/installer/settings.txt.new ${CMAKE_BINARY_DIR}/installer/settings.txt COPYONLY)
if(VORNMARK_MAKENSIS AND VORNMARK_PYTHON AND TARGET flash_emulator)
  add_custom_command(
    OUTPUT ${VORNMARK_SETUP}
    COMMAND ${VORNMARK_PYTHON} ${CMAKE_SOURCE_DIR}/installer/make_installer.py
            --build ${CMAKE_BINARY_DIR} --version ${PROJECT_VERSION}
            --agent ${VORNMARK_DEFAULT_AGENT_ID} --site ${VORNMARK_DEFAULT_SITE_ID}
            --out ${VORNMARK_SETUP} --makensis ${VORNMARK_MAKENSIS}
    DEPENDS vornmark flash_emulator ${flash_outputs} ${CMAKE_BINARY_DIR}/installer/settings.txt
            ${CMAKE_BINARY_DIR}/engine_host.py ${CMAKE_BINARY_DIR}/xembed.py
            ${CMAKE_SOURCE_DIR}/installer/vornmark.nsi ${CMAKE_SOURCE_DIR}/installer/make_installer.py
            ${CMAKE_SOURCE_DIR}/res/icon/vornmark.ico ${CMAKE_SOURCE_DIR}/res/png/145_launcher_background.png
            $<TARGET_FILE:vornmark>
    VERBATIM)
  add_custom_target(installer ALL DEPENDS ${VORNMARK_SETUP})
else()
  message(WARNING "makensis or the Flash emulator not found; run tools/setup.sh. No installer is made.")
endif()
