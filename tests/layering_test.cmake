# Fails when a folder includes a header of ours that its layer must not see. Run by ctest:
#
#   cmake -DSOURCE_DIR=<repository root> -P tests/layering_test.cmake
#
# Only includes of our own headers are checked (paths under platform/, transport/, common/, boot/,
# tools/ or spindrel/); system and third-party headers are left to the review.
cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "pass -DSOURCE_DIR=<repository root>")
endif()

set(violations "")

# Every include of ours in the sources under folder must match allowed or be one of the exceptions
# (each "<file relative to SOURCE_DIR>:<included path>").
function(check_layer folder allowed)
  cmake_parse_arguments(PARSE_ARGV 2 rule "" "" "EXCEPT")
  file(GLOB_RECURSE sources LIST_DIRECTORIES false "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  list(SORT sources)
  foreach(source IN LISTS sources)
    file(RELATIVE_PATH relative "${SOURCE_DIR}" "${source}")
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*" "\\1" included "${line}")
      if(NOT included MATCHES "^(platform|transport|common|boot|tools|spindrel)/")
        continue()
      endif()
      if(included MATCHES "${allowed}" OR "${relative}:${included}" IN_LIST rule_EXCEPT)
        continue()
      endif()
      list(APPEND violations "${relative} includes ${included}")
    endforeach()
  endforeach()
  set(violations "${violations}" PARENT_SCOPE)
endfunction()

# The platform layer is the bottom: it sees only itself.
check_layer(src/platform "^platform/")

# The transport sees the platform and its own public headers, nothing of the bus or the boot code.
check_layer(src/transport "^(transport|platform|spindrel/transport)/")

# The public headers stand alone: a client has nothing else.
check_layer(include "^spindrel/")

# The bus reaches the transport only through its public face.
check_layer(src/common/ipc "^(common|platform|spindrel)/")

# The tools are clients of the public headers, plus the few platform utilities they declare here.
set(tools_platform_utilities "^platform/(command_line|process|unicode)\\.h$")
check_layer(tools "^(spindrel|tools)/|${tools_platform_utilities}")

if(violations)
  list(JOIN violations "\n  " report)
  message(FATAL_ERROR "layering broken:\n  ${report}")
endif()
message(STATUS "layering holds")
