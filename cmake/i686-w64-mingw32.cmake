# Cross toolchain: 32-bit Windows console programs (PE32, i386) from this Linux machine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELDRA_ARCH x86)
set(VELDRA_TRIPLE i686-w64-mingw32)
set(VELDRA_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
