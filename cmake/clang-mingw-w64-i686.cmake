# The second compiler: Debian's clang for Windows, over the MinGW-w64 headers and libraries of the
# win32-threads GCC (clang cannot tell the win32 and posix variants apart, so both the C++
# library's headers and the GCC runtime are named here). The resources still go through windres.
set(MINGW_TARGET i686-w64-mingw32)
file(GLOB MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TARGET}/*-win32)
list(SORT MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET MINGW_GCC_DIRS 0 MINGW_GCC_DIR)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TARGET})
set(CMAKE_RC_COMPILER ${MINGW_TARGET}-windres)
set(CMAKE_CXX_FLAGS_INIT "-stdlib++-isystem ${MINGW_GCC_DIR}/include/c++ \
-stdlib++-isystem ${MINGW_GCC_DIR}/include/c++/${MINGW_TARGET} \
-stdlib++-isystem ${MINGW_GCC_DIR}/include/c++/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${MINGW_GCC_DIR}")
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
