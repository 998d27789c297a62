# Cross build for 64-bit Windows with Debian's MinGW-w64 compiler, POSIX
# thread model (std::thread through winpthreads):
#   cmake -S . -B build/windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VD_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VD_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VD_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VD_MINGW_TRIPLET}-windres)
set(CMAKE_MC_COMPILER ${VD_MINGW_TRIPLET}-windmc)

# Libraries and headers of the target only; programs of the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${VD_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Executables that need no DLL beside them: the C++ runtime, winpthreads and
# zlib are linked in.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs what the build made under Wine (in the WINEPREFIX of its
# environment; scripts/test.sh gives it a throwaway one).
find_program(VD_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VD_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VD_WINE})
endif()
