# Dependencies and link settings of the 32-bit Windows build (mingw-w64).

# Boost.Regex is header-only from Boost 1.76 on: the headers of Debian's
# libboost1.81-dev, unpacked into the build folder by
# scripts/build-windows.sh, serve without a Windows build of Boost.
set(ZEM_BOOST_INCLUDE "" CACHE PATH "Boost >= 1.76 headers for the Windows build")
if(NOT EXISTS "${ZEM_BOOST_INCLUDE}/boost/regex.hpp")
  message(FATAL_ERROR "ZEM_BOOST_INCLUDE must name Boost headers (>= 1.76); scripts/build-windows.sh unpacks them")
endif()
add_library(Boost::regex INTERFACE IMPORTED)
# -isystem: Boost's own warnings are not ours to fix under -Werror.
set_target_properties(Boost::regex PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${ZEM_BOOST_INCLUDE}"
                                              INTERFACE_INCLUDE_DIRECTORIES "${ZEM_BOOST_INCLUDE}")

# zlib from Debian's libz-mingw-w64-dev, linked in statically so that the
# library needs no zlib1.dll beside it.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

# The C++ runtime, libgcc and winpthreads go into each module as well: the
# DLL and the test programs depend on nothing but Windows' own DLLs.
add_link_options(-static)

# Windows' names for what the engine uses beyond the C++ library.
link_libraries(advapi32)

# GoogleTest, built from Debian's googletest sources with this toolchain.
set(ZEM_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZEM_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${t})
    add_library(GTest::${t} ALIAS ${t})
  endif()
  # GoogleTest's own sources are not held to our warnings.
  target_compile_options(${t} PRIVATE -w)
endforeach()
