# Third-party code comes from Debian packages only; nothing is fetched.
#
# Native build: the packages' own CMake configs.
# Windows build: nlohmann JSON and fmt are header-only. /usr/include itself must never reach the mingw
# include path (glibc's headers would shadow mingw's), so the two libraries are exposed through a private
# folder of links. GoogleTest is compiled from its Debian source package.

# fmt compiled in (header-only): on Windows, and in the static archives packed beside the shared library
# (cmake/Install.cmake), since Debian ships no static fmt and a client linking them should need neither
# libfmt-dev nor the fmt version the package was built with.
if(WIN32 OR SPINDREL_STATIC_BESIDE_SHARED)
  add_library(fmt_header_only INTERFACE)
  target_compile_definitions(fmt_header_only INTERFACE FMT_HEADER_ONLY)
  add_library(fmt::fmt ALIAS fmt_header_only)
endif()

if(WIN32)
  set(third_party_include ${CMAKE_BINARY_DIR}/third_party_include)
  file(MAKE_DIRECTORY ${third_party_include})
  foreach(library nlohmann fmt)
    file(CREATE_LINK /usr/include/${library} ${third_party_include}/${library} SYMBOLIC)
  endforeach()

  add_library(nlohmann_json INTERFACE)
  target_include_directories(nlohmann_json SYSTEM INTERFACE ${third_party_include})
  add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

  target_include_directories(fmt_header_only SYSTEM INTERFACE ${third_party_include})

  if(SPINDREL_BUILD_TESTS)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  endif()
else()
  find_package(nlohmann_json 3.10 REQUIRED)
  if(NOT SPINDREL_STATIC_BESIDE_SHARED)
    find_package(fmt 9 REQUIRED)
  endif()
  find_package(Threads REQUIRED)
  if(SPINDREL_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
  if(SPINDREL_BUILD_BENCHMARKS)
    find_package(benchmark REQUIRED)
    find_package(Boost 1.74 REQUIRED)  # header-only: Boost.Interprocess, one of the compared alternatives
  endif()
endif()
