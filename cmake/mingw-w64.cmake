# Shared part of the MinGW-w64 toolchain files: ORV_MINGW_TRIPLET names the
# target; ORV_MINGW_THREADS picks the compilers' thread model, win32 (the
# default: what the shipped DLL is built with) or posix (for GoogleTest).
set(ORV_MINGW_THREADS win32 CACHE STRING "MinGW-w64 thread model: win32 or posix")
set(CMAKE_C_COMPILER ${ORV_MINGW_TRIPLET}-gcc-${ORV_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${ORV_MINGW_TRIPLET}-g++-${ORV_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${ORV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
