# The second compiler's 64-bit variant: the same sources for 64-bit Windows.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-w64-i686.cmake)
