# Regenerates the icon images into OUT_DIR and fails unless they equal the committed ones.
file(REMOVE_RECURSE "${OUT_DIR}")
file(MAKE_DIRECTORY "${OUT_DIR}")
execute_process(COMMAND "${PYTHON}" "${SOURCE_DIR}/make_icon.py" "${OUT_DIR}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_icon.py failed: ${rc}")
endif()
foreach(size 32 16)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
    "${SOURCE_DIR}/kestrival-${size}.xpm" "${OUT_DIR}/kestrival-${size}.xpm" RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "resources/icons/kestrival-${size}.xpm is not what make_icon.py draws")
  endif()
endforeach()
