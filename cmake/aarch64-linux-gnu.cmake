# Cross build for 64-bit Arm with Debian's cross toolchain and multiarch
# libraries (crossbuild-essential-arm64, libcrypt-dev:arm64, libstdc++6:arm64).
# The package gate runs the packaged tool under qemu-user, through the emulator;
# the suite runs on an arm64 kernel (tests/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# pkg-config must see the arm64 libxcrypt, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
