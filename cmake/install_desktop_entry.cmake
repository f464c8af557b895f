# Run by `cmake --install`: writes <prefix>/Kestrival.desktop from KESTRIVAL_DESKTOP_TEMPLATE,
# naming the prefix as the program's file, working directory and icon place. Fails, writing
# nothing, for a prefix whose name holds a control character.

if(CMAKE_INSTALL_PREFIX STREQUAL "")
  message(FATAL_ERROR "No installation directory to name in the desktop entry")
endif()
get_filename_component(_dir "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(_controls "")
foreach(_code RANGE 1 31)
  string(ASCII ${_code} _char)
  string(APPEND _controls "${_char}")
endforeach()
string(ASCII 127 _char)
if(_dir MATCHES "[${_controls}${_char}]")
  message(FATAL_ERROR "A desktop entry can't name the directory \"${_dir}\": it holds a control character")
endif()

# The escapes of a desktop entry's string values.
function(_kestrival_desktop_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  if(value MATCHES "^ ")
    string(REGEX REPLACE "^ " "\\\\s" value "${value}")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Exec: the program's path as one quoted argument (so spaces are safe), with the characters
# quoting reserves escaped, "%" doubled as field codes require, then as a string value.
set(_exec "${_dir}/Kestrival")
string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" _exec "${_exec}")
string(REPLACE "%" "%%" _exec "${_exec}")
_kestrival_desktop_string(KESTRIVAL_DESKTOP_EXEC "\"${_exec}\"")
_kestrival_desktop_string(KESTRIVAL_DESKTOP_PATH "${_dir}")
_kestrival_desktop_string(KESTRIVAL_DESKTOP_ICON "${_dir}/${KESTRIVAL_DESKTOP_ICON_FILE}")

set(_entry "$ENV{DESTDIR}${_dir}/Kestrival.desktop")
message(STATUS "Installing: ${_entry}")
configure_file("${KESTRIVAL_DESKTOP_TEMPLATE}" "${_entry}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_entry}")
