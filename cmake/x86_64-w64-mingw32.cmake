# Cross toolchain: 64-bit Windows console programs (PE32+, x86-64) from this Linux machine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELDRA_ARCH x64)
set(VELDRA_TRIPLE x86_64-w64-mingw32)
set(VELDRA_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
