# What `cmake --install` puts in place and what CPack packs: the bus library (spindrel::bus) with its
# public headers and a CMake package, spindrel and buspeer, and on Linux a pkg-config file. Two
# components: `programs` (what runs: the programs, a shared bus library, their documentation) and `dev`
# (what builds a client: headers, static libraries, the library's link name, CMake and pkg-config
# files). On Linux each becomes a Debian package, spindrel and spindrel-dev. Clients use
#
#   find_package(spindrel 0.1 REQUIRED)
#   target_link_libraries(app PRIVATE spindrel::bus)   # or spindrel::bus_static
#
# spindrel::bus is the library the build made; spindrel::bus_static is the static one wherever the tree
# has it: the same target in a static build's tree, the archives of a second, static build in the
# Debian packages (a separate target rather than a switch, so one client can link either way and says
# which in the line that links it).
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

if(SPINDREL_STATIC_BESIDE_SHARED)
  if(BUILD_SHARED_LIBS OR WIN32)
    message(FATAL_ERROR "SPINDREL_STATIC_BESIDE_SHARED is for a static Linux build")
  endif()
  # What a shared build's tree lacks for a static link, and nothing else: the archives, and their
  # targets in a file of their own that the shared build's package config reads when it is there. The
  # shared build's install runs this one (SPINDREL_PACK_STATIC_BUILD, below), so the link dependencies
  # come from CMake's own export of the build that made the archives, not from a list kept by hand.
  set_target_properties(bus PROPERTIES EXPORT_NAME bus_static)
  install(TARGETS bus transport util platform EXPORT spindrelStaticTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  install(EXPORT spindrelStaticTargets NAMESPACE spindrel:: DESTINATION ${spindrel_cmake_dir} COMPONENT dev)
  return()
endif()

set(spindrel_exported bus)
if(NOT BUILD_SHARED_LIBS)
  list(APPEND spindrel_exported transport util platform)
endif()
install(TARGETS ${spindrel_exported} EXPORT spindrelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT programs NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(WIN32)
  # A Windows developer has no system package for the JSON library the packet header exposes, so the
  # tree carries its headers (header-only, MIT licensed), and the toolchain file that cross-builds a
  # client the way this tree was built.
  install(DIRECTORY /usr/include/nlohmann DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  install(FILES cmake/mingw-w64-x86_64.cmake DESTINATION ${spindrel_cmake_dir} COMPONENT dev)
endif()
if(BUILD_SHARED_LIBS AND NOT WIN32)
  # Wherever the tree is put, the programs find the library beside them (Windows looks in bin/ anyway);
  # in a system folder the loader finds it by itself.
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} system_libdir)
  if(system_libdir EQUAL -1)
    set_target_properties(spindrel buspeer PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
endif()
install(TARGETS spindrel buspeer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(FILES README.md docs/api.md docs/wire-format.md docs/sibling-guide.md docs/channel.md
  docs/linux-objects.md docs/registry.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
if(WIN32)
  # The programs compile in the JSON library and buspeer its command-line parser, and the tree carries
  # the JSON headers: their notices travel with them, in the same file as the Debian packages'.
  install(FILES LICENSE cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
else()
  # Debian's place for the license and the changelog: every package's own documentation folder.
  set(spindrel_changelog ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
  execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog OUTPUT_FILE ${spindrel_changelog}
    COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
  install(FILES cmake/debian/copyright ${spindrel_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/spindrel COMPONENT programs)
  install(FILES cmake/debian/copyright ${spindrel_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/spindrel-dev COMPONENT dev)
endif()

install(EXPORT spindrelTargets NAMESPACE spindrel:: DESTINATION ${spindrel_cmake_dir} COMPONENT dev)
if(SPINDREL_PACK_STATIC_BUILD)
  if(NOT BUILD_SHARED_LIBS OR WIN32)
    message(FATAL_ERROR "SPINDREL_PACK_STATIC_BUILD is for a shared Linux build")
  endif()
  # The static build's files are part of this build's dev component, so `cmake --install` and CPack
  # alike (whatever prefix or DESTDIR they use) put both builds' files in one tree.
  install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" --install \"${SPINDREL_PACK_STATIC_BUILD}\"
    --component dev --prefix \"\${CMAKE_INSTALL_PREFIX}\" COMMAND_ERROR_IS_FATAL ANY)" COMPONENT dev)
endif()

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
  DESTINATION ${spindrel_cmake_dir} COMPONENT dev)

if(NOT WIN32)
  # What a static bus needs after it at the link.
  set(spindrel_internal_libs "-lspindrel_transport -lspindrel_util -lspindrel_platform -pthread")
  set(SPINDREL_PC_LIBS_PRIVATE "")
  if(NOT BUILD_SHARED_LIBS)
    set(SPINDREL_PC_REQUIRES "nlohmann_json >= 3.10, fmt")
    set(SPINDREL_PC_LIBS "-lspindrel_bus ${spindrel_internal_libs}")
  else()
    set(SPINDREL_PC_REQUIRES "nlohmann_json >= 3.10")
    set(SPINDREL_PC_LIBS "-lspindrel_bus")
    if(SPINDREL_PACK_STATIC_BUILD)
      # `pkg-config --static` adds what the archives need (their fmt is compiled in); the linker takes
      # the archives over the shared library inside -Wl,-Bstatic ... -Wl,-Bdynamic.
      set(SPINDREL_PC_LIBS_PRIVATE "${spindrel_internal_libs}")
    endif()
  endif()
  # The file finds its prefix from where it lies, so a staged or relocated tree works as well.
  file(RELATIVE_PATH SPINDREL_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  configure_file(cmake/spindrel.pc.in ${CMAKE_BINARY_DIR}/spindrel.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/spindrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# Packages: two .debs of the native build, a zip of the Windows build (scripts/package.sh makes them).
set(CPACK_PACKAGE_NAME spindrel)
set(CPACK_PACKAGE_VENDOR Brisden)
set(CPACK_PACKAGE_CONTACT "Brisden suite developers <suite-dev@brisden.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL programs dev)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "The suite's local message bus")
  set(CPACK_SYSTEM_NAME windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)  # the packaging's own revision, as in cmake/debian/changelog
  set(CPACK_STRIP_FILES ON)
  # Debian's synopsis and extended description, lines of at most 80 characters.
  set(spindrel_synopsis "local message bus of the Brisden suite")

  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME spindrel)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "${spindrel_synopsis}
spindrel, the suite's exit monitor, and buspeer, which joins, watches and talks
to the bus from the command line.")
  if(BUILD_SHARED_LIBS)
    string(APPEND CPACK_DEBIAN_PROGRAMS_DESCRIPTION " Both link the bus library, which this package
carries.")
    # Programs of other packages that link the library depend on this package, of this version or later.
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
    # The loader's cache is rebuilt once per dpkg run (CPack's scripts also call ldconfig themselves).
    set(CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
  endif()

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME spindrel-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(spindrel_dev_libraries "the link library")
  if(SPINDREL_PACK_STATIC_BUILD)
    set(spindrel_dev_libraries "the shared library's link name, the static libraries")
  endif()
  set(CPACK_DEBIAN_DEV_DESCRIPTION "${spindrel_synopsis} (development files)
The headers, ${spindrel_dev_libraries}, the CMake
package and the pkg-config file that build a client of the bus library.")
  # The headers include the JSON library's. A static build's library also needs fmt at the client's
  # link; the archives packed beside the shared library have it compiled in.
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "spindrel (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), nlohmann-json3-dev (>= 3.10)")
  if(NOT BUILD_SHARED_LIBS)
    string(APPEND CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ", libfmt-dev")
  endif()
endif()
include(CPack)
