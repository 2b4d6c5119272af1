# The posix-threads variant of the same cross-build, which GoogleTest needs.
set(MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
