# CELLPATH_SANITIZE=ON builds every module with AddressSanitizer and
# UndefinedBehaviorSanitizer.  The interpreter itself is not instrumented, so
# the runtimes must be preloaded into it (`make sanitize` does that); checks do
# not recover, so the first report ends the run.  The vptr check is left out:
# nanobind's type objects cross shared-library boundaries, where that check
# reports types it cannot see as mismatched.  Line tables (-g1) are all a
# report needs, and build far quicker than full debug information.
option(CELLPATH_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(CELLPATH_SANITIZE)
  set(_cellpath_san -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all)
  add_compile_options(${_cellpath_san} -fno-omit-frame-pointer -g1)
  add_link_options(${_cellpath_san})
endif()

# CELLPATH_TSAN=ON builds with ThreadSanitizer instead, for the code that plans
# on several threads (`make tsan`).  It cannot be combined with the above.
option(CELLPATH_TSAN "Build with ThreadSanitizer" OFF)
if(CELLPATH_TSAN)
  if(CELLPATH_SANITIZE)
    message(FATAL_ERROR "CELLPATH_TSAN and CELLPATH_SANITIZE exclude each other")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g1)
  add_link_options(-fsanitize=thread)
endif()
