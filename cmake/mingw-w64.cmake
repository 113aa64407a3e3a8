# What both cross toolchains share: the mingw-w64 compilers of one target triple, and Wine's
# loader of that architecture as the emulator CTest runs the test programs with.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix variants carry std::mutex and friends, which GoogleTest needs.
set(CMAKE_C_COMPILER ${VELDRA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDRA_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDRA_TRIPLE}-windres)
set(CMAKE_ASM_COMPILER ${VELDRA_TRIPLE}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${VELDRA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run through Wine with the project's own prefix; the entry script exports it. The
# loader is named directly: /usr/bin/wine goes through the 32-bit loader first, which a kernel
# without 32-bit support cannot start.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDRA_WINE_LOADER})
