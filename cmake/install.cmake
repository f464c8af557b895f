# `cmake --install <build> --prefix DIR` makes DIR a runnable installation of the program:
# Kestrival, its icon and a desktop entry that starts it in DIR, all directly in DIR. The
# program works only from the directory that holds its settings file and upgrade package, so
# it gets a directory of its own, never a bin/ shared with other programs.

set(_kestrival_desktop_dir ${PROJECT_SOURCE_DIR}/resources/desktop)

add_executable(kestrival_icon_png ${_kestrival_desktop_dir}/icon_png.cpp)
target_link_libraries(kestrival_icon_png PRIVATE Qt6::Gui)

set(_kestrival_icon_xpm ${PROJECT_SOURCE_DIR}/resources/icons/kestrival-32.xpm)
set(_kestrival_icon_png ${CMAKE_CURRENT_BINARY_DIR}/desktop/kestrival.png)
add_custom_command(OUTPUT ${_kestrival_icon_png}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/desktop
  # A build tool, not the program: leaks at its exit don't matter, and it needs no display.
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=minimal
          $<TARGET_FILE:kestrival_icon_png> ${_kestrival_icon_xpm} ${_kestrival_icon_png}
  DEPENDS kestrival_icon_png ${_kestrival_icon_xpm}
  COMMENT "Making the desktop icon from the program's icon"
  VERBATIM)
add_custom_target(kestrival_desktop_icon ALL DEPENDS ${_kestrival_icon_png})

# Shared system directories hold no installation to upgrade, and a bin/ is where the program
# can't work: refused before anything is copied, whichever way the prefix was given. CMake
# hands the root directory over as an empty prefix.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"\")
    set(_kestrival_prefix /)
  else()
    get_filename_component(_kestrival_prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  endif()
  get_filename_component(_kestrival_leaf \"\${_kestrival_prefix}\" NAME)
  if(_kestrival_prefix MATCHES [[^/(usr(/local)?|opt)?/*$]] OR _kestrival_leaf MATCHES [[^s?bin$]])
    message(FATAL_ERROR \"Kestrival belongs in the directory of the installation it upgrades, \"
      \"not in \${_kestrival_prefix}: name that directory with \"
      \"`cmake --install <build> --prefix DIR`.\")
  endif()
")

install(TARGETS Kestrival RUNTIME DESTINATION .)
install(FILES ${_kestrival_icon_png} DESTINATION .)
# The entry names the installation directory, known only once the install runs.
install(CODE "
  set(KESTRIVAL_DESKTOP_TEMPLATE [[${_kestrival_desktop_dir}/Kestrival.desktop.in]])
  set(KESTRIVAL_DESKTOP_NAME [[${PROJECT_NAME}]])
  set(KESTRIVAL_DESKTOP_COMMENT [[${PROJECT_DESCRIPTION}]])
  set(KESTRIVAL_DESKTOP_ICON_FILE kestrival.png)
  include([[${PROJECT_SOURCE_DIR}/cmake/install_desktop_entry.cmake]])
")
