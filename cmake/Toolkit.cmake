# cellpath_add_module(<Name> SOURCES <binding.cpp ...> [LINK <libs...>])
#
# Builds the Python extension module <Name> when it is selected in
# CELLPATH_MODULES and installs it at the top of site-packages, so that
# `import <Name>` finds it.  A module's own logic lives in a static library
# (conventionally <name>_core) that other modules may link too.
# With CELLPATH_STABLE_ABI the modules use only Python's limited API (3.12 and
# later), so one binary loads on every later interpreter; nanobind ignores the
# flag when building for an older Python.
option(CELLPATH_STABLE_ABI "Build against the limited Python API (abi3, Python 3.12+)" OFF)

function(cellpath_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  if(NOT name IN_LIST CELLPATH_MODULES)
    return()
  endif()
  # NOMINSIZE: the hot loops of header-only cores compile inside the module's
  # own sources, so the module is optimised for speed, not size.
  set(abi)
  if(CELLPATH_STABLE_ABI)
    set(abi STABLE_ABI)
  endif()
  nanobind_add_module(${name} NB_STATIC NOMINSIZE ${abi} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE cellpath_common ${ARG_LINK})
  install(TARGETS ${name} LIBRARY DESTINATION .)
  set_property(GLOBAL APPEND PROPERTY CELLPATH_BUILT_MODULES ${name})
endfunction()

# Type stubs (.pyi) for every built module, generated from the bindings once all
# modules are built (a module imports its peers at import time), and installed
# beside them so that editors complete names and signatures.  The CAD-side
# modules import the host API at import; the stand-in host is put on the path of
# the generator only, never installed.
function(cellpath_add_stubs)
  get_property(mods GLOBAL PROPERTY CELLPATH_BUILT_MODULES)
  foreach(m IN LISTS mods)
    nanobind_add_stub(${m}_stub
      MODULE ${m}
      OUTPUT ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/${m}.pyi
      PYTHON_PATH ${CMAKE_LIBRARY_OUTPUT_DIRECTORY} ${PROJECT_SOURCE_DIR}/hostsim
      DEPENDS ${mods})
    install(FILES ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/${m}.pyi DESTINATION .)
  endforeach()
endfunction()
