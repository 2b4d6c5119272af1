# The posix-threads compiler of the 64-bit variant, which GoogleTest needs.
set(MINGW_ARCH x86_64)
set(MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
