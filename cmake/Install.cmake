# What `cmake --install` puts in place and what CPack packs: the bus library (spindrel::bus) with its
# public headers and a CMake package, spindrel and buspeer, and on Linux a pkg-config file. Clients use
#
#   find_package(spindrel 0.1 REQUIRED)
#   target_link_libraries(app PRIVATE spindrel::bus)
#
# The headers in include/ are the whole public surface; the internal libraries keep their headers to
# themselves. A static bus needs them at the client's link, so they are installed (under names that
# cannot clash with system libraries) and exported as link-only dependencies.
include(CMakePackageConfigHelpers)

set(spindrel_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/spindrel)

# 0.x: a minor release may break the ABI, so the soname carries it (libspindrel_bus.so.0.1).
set_target_properties(bus PROPERTIES
  OUTPUT_NAME spindrel_bus
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
foreach(internal transport util platform)
  set_target_properties(${internal} PROPERTIES OUTPUT_NAME spindrel_${internal})
endforeach()

set(spindrel_exported bus)
if(NOT BUILD_SHARED_LIBS)
  list(APPEND spindrel_exported transport util platform)
endif()
install(TARGETS ${spindrel_exported} EXPORT spindrelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  # A Windows developer has no system package for the JSON library the packet header exposes, so the
  # tree carries its headers (header-only, MIT licensed).
  install(DIRECTORY /usr/include/nlohmann DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
if(BUILD_SHARED_LIBS AND NOT WIN32)
  # Wherever the tree is put, the programs find the library beside them (Windows looks in bin/ anyway).
  set_target_properties(spindrel buspeer PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()
install(TARGETS spindrel buspeer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md docs/api.md docs/wire-format.md docs/sibling-guide.md docs/channel.md
  docs/linux-objects.md docs/registry.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(EXPORT spindrelTargets NAMESPACE spindrel:: DESTINATION ${spindrel_cmake_dir})

# The package's dependencies as its config must find them again.
if(WIN32)
  set(SPINDREL_FIND_NATIVE_DEPENDENCIES OFF)
else()
  set(SPINDREL_FIND_NATIVE_DEPENDENCIES ON)
endif()
configure_package_config_file(cmake/spindrelConfig.cmake.in ${CMAKE_BINARY_DIR}/spindrelConfig.cmake
  INSTALL_DESTINATION ${spindrel_cmake_dir})
# 0.x: a minor version may break the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/spindrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/spindrelConfig.cmake ${CMAKE_BINARY_DIR}/spindrelConfigVersion.cmake
  DESTINATION ${spindrel_cmake_dir})

if(NOT WIN32)
  if(BUILD_SHARED_LIBS)
    set(SPINDREL_PC_REQUIRES "nlohmann_json >= 3.10")
    set(SPINDREL_PC_LIBS "-lspindrel_bus")
  else()
    set(SPINDREL_PC_REQUIRES "nlohmann_json >= 3.10, fmt")
    set(SPINDREL_PC_LIBS "-lspindrel_bus -lspindrel_transport -lspindrel_util -lspindrel_platform -pthread")
  endif()
  # The file finds its prefix from where it lies, so a staged or relocated tree works as well.
  file(RELATIVE_PATH SPINDREL_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  configure_file(cmake/spindrel.pc.in ${CMAKE_BINARY_DIR}/spindrel.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/spindrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# Packages: a .deb of the native build, a zip of the Windows build (scripts/package.sh makes both).
set(CPACK_PACKAGE_NAME spindrel)
set(CPACK_PACKAGE_VENDOR Brisden)
set(CPACK_PACKAGE_CONTACT "Brisden suite developers <suite-dev@brisden.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "The suite's local message bus: library, headers, spindrel and buspeer")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The headers and the static library need these to compile and link a client.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "nlohmann-json3-dev (>= 3.10), libfmt-dev")
endif()
include(CPack)
