# What `cmake --install` puts under the prefix: the executable in bin/, its
# side files in share/brevanto/ (where the program looks for them when they
# are not beside it, see common/Texts.h), the desktop entry, the icons of the
# hicolor theme and the AppStream metadata. The folder names are fixed: the
# program finds its side files as ../share/brevanto from its own folder.
set(BV_APP_ID org.brevanto.Brevanto)
set(BV_DESKTOP_DIR ${PROJECT_SOURCE_DIR}/resources/desktop)

install(TARGETS brevanto RUNTIME DESTINATION bin)

foreach(f IN LISTS BV_RES_FILES)
  get_filename_component(sub ${f} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/${f} DESTINATION share/brevanto/${sub})
endforeach()

# The desktop entry names the installed executable by its full path, so the
# menu starts it whatever the prefix and the PATH.
install(CODE "set(BV_DESKTOP_IN \"${BV_DESKTOP_DIR}/${BV_APP_ID}.desktop.in\")
set(BV_DESKTOP_SCRATCH \"${CMAKE_BINARY_DIR}/desktop-entry\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/BvDesktopEntry.cmake)

install(FILES ${BV_DESKTOP_DIR}/${BV_APP_ID}.metainfo.xml DESTINATION share/metainfo)
install(FILES ${BV_DESKTOP_DIR}/icons/${BV_APP_ID}.svg DESTINATION share/icons/hicolor/scalable/apps)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${BV_DESKTOP_DIR}/icons/${BV_APP_ID}-${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME ${BV_APP_ID}.png)
endforeach()
