# Reads driver/sources.txt, the driver's one source list, into
# VRMDM_DRIVER_SOURCES (absolute paths) for the host and the Windows builds.
# A .cpp under driver/ that the list lacks fails the configure step: such a
# file would build in neither home, silently.
set(_driver_root "${PROJECT_SOURCE_DIR}/driver")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_driver_root}/sources.txt")
file(STRINGS "${_driver_root}/sources.txt" _driver_lines)
set(VRMDM_DRIVER_SOURCES "")
foreach(_line IN LISTS _driver_lines)
  string(STRIP "${_line}" _line)
  if(_line STREQUAL "" OR _line MATCHES "^#")
    continue()
  endif()
  if(NOT EXISTS "${_driver_root}/${_line}")
    message(FATAL_ERROR "driver/sources.txt names ${_line}, which does not exist")
  endif()
  list(APPEND VRMDM_DRIVER_SOURCES "${_driver_root}/${_line}")
endforeach()

file(GLOB_RECURSE _driver_on_disk CONFIGURE_DEPENDS "${_driver_root}/*.cpp")
foreach(_file IN LISTS _driver_on_disk)
  if(NOT _file IN_LIST VRMDM_DRIVER_SOURCES)
    file(RELATIVE_PATH _rel "${_driver_root}" "${_file}")
    message(FATAL_ERROR "driver/${_rel} is not in driver/sources.txt; add it there")
  endif()
endforeach()
