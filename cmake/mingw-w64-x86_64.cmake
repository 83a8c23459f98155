# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The programs are linked statically, so that they run on a Windows host (or under Wine)
# with no MinGW runtime beside them. Tests run through Wine when ctest starts them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(QV_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(QV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QV_WINE})
endif()

# Boost's containers are headers only, the same for every target: the cross build takes
# Debian's (libboost1.81-dev) through a package of its own that shows those headers alone,
# never the other Linux headers beside them.
set(QV_HOST_BOOST "${CMAKE_BINARY_DIR}/host-boost")
if(NOT EXISTS "${QV_HOST_BOOST}/include/boost" AND EXISTS /usr/include/boost)
  file(MAKE_DIRECTORY "${QV_HOST_BOOST}/include")
  file(CREATE_LINK /usr/include/boost "${QV_HOST_BOOST}/include/boost" SYMBOLIC)
  file(WRITE "${QV_HOST_BOOST}/BoostConfig.cmake"
    "if(NOT TARGET Boost::headers)\n"
    "  add_library(Boost::headers INTERFACE IMPORTED)\n"
    "  set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${QV_HOST_BOOST}/include\")\n"
    "endif()\n")
  file(WRITE "${QV_HOST_BOOST}/BoostConfigVersion.cmake"
    "set(PACKAGE_VERSION 1.81.0)\n"
    "set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
    "if(PACKAGE_FIND_VERSION VERSION_EQUAL PACKAGE_VERSION)\n  set(PACKAGE_VERSION_EXACT TRUE)\nendif()\n")
endif()
set(Boost_DIR "${QV_HOST_BOOST}" CACHE PATH "Debian's Boost headers, seen alone" FORCE)
