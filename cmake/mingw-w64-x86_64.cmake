# The 64-bit variant: the same sources for 64-bit Windows, run by Wine's 64-bit loader.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
