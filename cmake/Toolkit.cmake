# cellpath_add_module(<Name> SOURCES <binding.cpp ...> [LINK <libs...>])
#
# Builds the Python extension module <Name> when it is selected in
# CELLPATH_MODULES and installs it at the top of site-packages, so that
# `import <Name>` finds it.  A module's own logic lives in a static library
# (conventionally <name>_core) that other modules may link too.
function(cellpath_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  if(NOT name IN_LIST CELLPATH_MODULES)
    return()
  endif()
  nanobind_add_module(${name} NB_STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE cellpath_common ${ARG_LINK})
  install(TARGETS ${name} LIBRARY DESTINATION .)
endfunction()
