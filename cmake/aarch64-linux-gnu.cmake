# Cross build for the board: AArch64 Linux, Debian's cross compiler and the arm64 libraries
# that multiarch installs beside the host's (scripts/setup --aarch64).
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Test binaries and GoogleTest's discovery run under qemu-aarch64. Its root is the multiarch
# root: the arm64 loader and libc there are the ones the arm64 libraries were built against
# (mixing them with the cross compiler's private libc copy can hang a program at exit).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)

# Host programs are found as usual; libraries and packages only in their arm64 place (the
# library architecture above makes find_library and find_package look in lib/aarch64-linux-gnu).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
