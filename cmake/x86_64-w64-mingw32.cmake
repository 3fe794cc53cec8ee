# Cross build for 64-bit Windows with MinGW-w64.  The tests need
# GoogleTest, which needs std::mutex: build them with the posix thread
# model (-DORV_MINGW_THREADS=posix) and -DORV_GTEST_SOURCE_DIR=... ; their
# programs run under wine64.
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
#         -DORV_MINGW_THREADS=posix -DORV_GTEST_SOURCE_DIR=/usr/src/googletest
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORV_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

find_program(ORV_WINE64 NAMES wine64 wine PATHS /usr/lib/wine)
if(ORV_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_WINE64})
endif()
