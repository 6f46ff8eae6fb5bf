# Cross-builds the programs for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64);
# the tests run them under Wine (Debian's wine64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELDRAN_MINGW_TRIPLET x86_64-w64-mingw32)
# The POSIX thread model: with the Win32 one, GCC 12's C++ library has no std::mutex, which
# GoogleTest needs.
set(CMAKE_C_COMPILER ${KELDRAN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELDRAN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELDRAN_MINGW_TRIPLET}-windres)

# Libraries, headers and packages for Windows come only from MinGW's own tree and from the
# libraries built for it (never the build machine's /usr, whose headers are glibc's); the
# programs that run during the build are the build machine's.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KELDRAN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A program copied alone onto a Windows PC must start: the C++ runtime, libgcc and every
# library are linked in, so no DLL has to travel beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Tests and test discovery start the programs under Wine; its 64-bit loader is not always on PATH.
find_program(KELDRAN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KELDRAN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELDRAN_WINE})
endif()
