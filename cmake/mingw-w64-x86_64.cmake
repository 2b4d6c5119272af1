# The 64-bit variant: the stand-in host for 64-bit Windows, as 64-bit Office runs.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
