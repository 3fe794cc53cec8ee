# Cross build for 32-bit x86 Linux (i686) with Debian's i686-linux-gnu
# compilers and the :i386 packages of the libraries.  The programs run
# through qemu-i386, so tests do not depend on the kernel running 32-bit
# programs itself.
#
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
#
# (scripts/install-deps --i386 installs what it needs.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

find_program(ORV_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_QEMU_I386})

# Find the i386 copies of libraries and packages, never the host's:
# pkg-config reads the i386 .pc files (this file is read again whenever
# CMake configures, so the setting holds for every pkg-config call).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake)
