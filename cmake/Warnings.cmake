# Warnings belong to the project's own targets, not to the whole build: GoogleTest, compiled here for
# Windows, keeps its own flags, and third-party headers come in as system includes, which the compiler
# does not warn about. The presets the tests use turn warnings into errors.
option(SPINDREL_WERROR "Treat warnings in the project's own code as errors" OFF)

function(spindrel_warnings)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${SPINDREL_WERROR}>:-Werror>)
  endforeach()
endfunction()
