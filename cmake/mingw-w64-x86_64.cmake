# Cross-builds the Windows x86-64 binaries with Debian's mingw-w64 and runs
# the Windows test programs under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
# The posix thread model: the win32 one lacks parts of <thread> and <mutex>
# that GoogleTest and the standard library headers expect.
find_program(CMAKE_C_COMPILER NAMES ${_triple}-gcc-posix ${_triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_triple}-g++-posix ${_triple}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VELQUIST_WINE NAMES wine64 wine
    PATHS /usr/lib/wine /usr/bin NO_CMAKE_FIND_ROOT_PATH)
if(VELQUIST_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELQUIST_WINE})
endif()
